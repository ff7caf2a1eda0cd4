#include "imageStream.h"

#include <QDebug>
#include <QTcpSocket>

imageStream::imageStream(const QString &hostName, quint16 videoPort)
    : host(hostName)
    , port(videoPort)
    , socket(new QTcpSocket(this))
{
    socket->connectToHost(host, quint16(port), QIODevice::ReadOnly);

    connect(socket, &QTcpSocket::readyRead, this, &imageStream::process_message);
    connect(socket, &QTcpSocket::errorOccurred, this, &imageStream::displayError);
    connect(socket, &QTcpSocket::stateChanged, this, &imageStream::displayConnectionState);

    parser.setDevice(socket);
    parser.setStatistics(&streamStatistics);
    path.setStatistics(&streamStatistics);
    parser.onStatistics = [this](const FrameStatistics &stats) {
        emit current_fps(stats.fps);
        emit current_size(stats.size);
        if (!stats.format.isEmpty())
            emit current_format(stats.format);
    };
    parser.onFrameReady = [this] { emit imageIsReady(); };
    parser.onRecordDropped = [this](const FrameSlot &header) { emit recordDropped(header); };
}

void imageStream::setWireSink(WireTap::Sink sink)
{
    // Between two calls to the parser, which keeps its place in a record across the change.
    wireTap = sink ? std::make_unique<WireTap>(socket, std::move(sink)) : nullptr;
    parser.setDevice(wireTap ? static_cast<QIODevice *>(wireTap.get()) : socket);
}

// The socket goes with the QObject base, which first cuts every connection of this object: the
// state change its closing reports reaches no receiver.
imageStream::~imageStream()
{
    qDebug("End of stream");
}

void imageStream::setHost(const QString &hostName)
{
    host = hostName;
}

void imageStream::setPort(int videoPort)
{
    port = videoPort;
}

const QString &imageStream::socketMessage() const
{
    return statusText;
}

void imageStream::reconnect()
{
    connected = false;
    socket->abort();
    // The board starts every connection on a record boundary; joining a record cut off on the
    // old connection to bytes of the new one would show and store a corrupt frame.
    parser.restartRecord();
    socket->connectToHost(host, quint16(port), QIODevice::ReadOnly);
}

void imageStream::process_message()
{
    parser.process();
}

void imageStream::displayError(QAbstractSocket::SocketError socketError)
{
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
        break;
    case QAbstractSocket::RemoteHostClosedError:
        statusText = QStringLiteral("Connection closed by host");
        break;
    case QAbstractSocket::HostNotFoundError:
        statusText = QStringLiteral("Host not found or port closed");
        break;
    default:
        statusText = socket->errorString();
    }
    qDebug("Video Error: %s", qPrintable(statusText));
    emit new_socket_error(statusText);
    emit connection_state(NotConnected);
}

void imageStream::displayConnectionState(QAbstractSocket::SocketState socketState)
{
    ConnectionState code = NotConnected;
    switch (socketState) {
    case QAbstractSocket::UnconnectedState:
        if (connected) {
            streamStatistics.connectionLost();
            emit connectionLost();
        }
        connected = false;
        break;
    case QAbstractSocket::HostLookupState:
        statusText = QStringLiteral("Looking for host...");
        break;
    case QAbstractSocket::ConnectingState:
        statusText = QStringLiteral("Connecting...");
        break;
    case QAbstractSocket::ConnectedState:
        statusText = QStringLiteral("Connected");
        code = Connected;
        connected = true;
        streamStatistics.connectionStarted();
        break;
    default:
        return;
    }
    emit connection_state(code);
    emit new_socket_info(statusText);
    qDebug("Video Info: %s", qPrintable(statusText));
}

void imageStream::startCapture(const QString &folder, const QString &prefix,
                               const QString &extension, bool raw)
{
    path.capture().start(folder, prefix, extension, raw);
}

void imageStream::stopCapture()
{
    path.capture().stop();
}

QPixmap imageStream::currentPixmap()
{
    lastResult = path.show(parser.completedSlot());
    if (lastResult.capture >= 0)
        emit capture_in_progress(QStringLiteral("Capturing image... ")
                                 + QString::number(lastResult.capture));
    return lastResult.outcome == FramePath::Outcome::HiddenCode ? QPixmap() : path.pixmap();
}
