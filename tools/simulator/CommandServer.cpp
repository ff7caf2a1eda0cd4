#include "CommandServer.h"

#include "BoardProtocol.h"

#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

namespace {
using namespace BoardProtocol;

constexpr qint64 RequestSize = CommandRequestBytes;
constexpr int MaxFormat = FormatCount - 1;
constexpr int GrayFormat = FormatGray;
constexpr int FirstApplication = CommandEdgeDetection;
constexpr int LastApplication = CommandMotionDetection;


const char *const ShapeNames[] = {"normal", "no-reply", "truncated", "pieces", "long"};
constexpr CommandServer::ReplyShape Shapes[] = {
    CommandServer::ReplyShape::Normal,         CommandServer::ReplyShape::NoReply,
    CommandServer::ReplyShape::TruncatedReply, CommandServer::ReplyShape::PiecewiseReply,
    CommandServer::ReplyShape::LongReply,
};
}

CommandServer::CommandServer(QObject *parent)
    : QTcpServer(parent),
      formats{GrayFormat},
      current{GrayFormat, VgaSize.width, VgaSize.height, MaxFrameRate},
      pending(current)
{
    connect(this, &QTcpServer::newConnection, this, &CommandServer::acceptConnections);
}

void CommandServer::setReplyShape(ReplyShape shape)
{
    QMutexLocker lock(&mutex);
    this->shape = shape;
}

CommandServer::ReplyShape CommandServer::replyShape() const
{
    QMutexLocker lock(&mutex);
    return shape;
}

void CommandServer::setRefuseAll(bool refuse)
{
    QMutexLocker lock(&mutex);
    refusing = refuse;
}

void CommandServer::setAcceptDelay(int ms)
{
    QMutexLocker lock(&mutex);
    acceptDelayMs = qMax(0, ms);
}

int CommandServer::acceptDelay() const
{
    QMutexLocker lock(&mutex);
    return acceptDelayMs;
}

void CommandServer::setProducibleFormats(const QSet<int> &formats)
{
    QMutexLocker lock(&mutex);
    this->formats = formats;
}

void CommandServer::setConfiguration(const Configuration &configuration)
{
    QMutexLocker lock(&mutex);
    current = configuration;
    pending = configuration;
}

CommandServer::Configuration CommandServer::currentConfiguration() const
{
    QMutexLocker lock(&mutex);
    return current;
}

QSet<int> CommandServer::activeApplications() const
{
    QMutexLocker lock(&mutex);
    return applications;
}

QList<QByteArray> CommandServer::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

void CommandServer::clearRequests()
{
    QMutexLocker lock(&mutex);
    received.clear();
}

QStringList CommandServer::replyShapeNames()
{
    QStringList names;
    for (const char *name : ShapeNames)
        names << QString::fromLatin1(name);
    return names;
}

std::optional<CommandServer::ReplyShape> CommandServer::replyShapeFromName(const QString &name)
{
    const int index = replyShapeNames().indexOf(name);
    if (index < 0)
        return std::nullopt;
    return Shapes[index];
}

bool CommandServer::isProducibleSize(int width, int height)
{
    for (const ImageSize &size : ImageSizes) {
        if (size.width == width && size.height == height)
            return true;
    }
    return false;
}

void CommandServer::acceptConnections()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // Lets 1-byte pieces leave one by one.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const int delay = acceptDelay();
        if (delay > 0)
            QTimer::singleShot(delay, socket, [this, socket] { startReading(socket); });
        else
            startReading(socket);
    }
}

void CommandServer::startReading(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { processRequests(socket); });
    processRequests(socket);
}

void CommandServer::processRequests(QTcpSocket *socket)
{
    while (socket->bytesAvailable() >= RequestSize) {
        const QByteArray request = socket->read(RequestSize);
        const quint8 code = static_cast<quint8>(request[0]);
        const quint16 value = static_cast<quint16>((static_cast<quint8>(request[1]) << 8)
                                                   | static_cast<quint8>(request[2]));
        {
            QMutexLocker lock(&mutex);
            received.append(request);
        }
        emit requestReceived(code, value);
        reply(socket, code, handle(code, value));
    }
}

quint8 CommandServer::handle(quint8 code, quint16 value)
{
    std::optional<Configuration> applied;
    quint8 result = CommandDone;
    {
        QMutexLocker lock(&mutex);
        if (refusing)
            return CommandRefused;
        switch (code) {
        case CommandFrameRate:
            if (value < MinFrameRate || value > MaxFrameRate)
                result = CommandOutOfRange;
            else
                pending.fps = value;
            break;
        case CommandPixelFormat:
            if (value > MaxFormat)
                result = CommandOutOfRange;
            else if (!formats.contains(value))
                result = CommandNotProducible;
            else
                pending.format = value;
            break;
        case CommandImageWidth:
        case CommandImageHeight: {
            bool known = false;
            for (const ImageSize &size : ImageSizes)
                known = known || (code == CommandImageWidth ? size.width : size.height) == value;
            if (!known)
                result = CommandNotProducible;
            else if (code == CommandImageWidth)
                pending.width = value;
            else
                pending.height = value;
            break;
        }
        case CommandApply:
            if (value != 1)
                result = CommandOutOfRange;
            else if (!isProducibleSize(pending.width, pending.height)
                     || !formats.contains(pending.format))
                result = CommandNotProducible;
            else
                applied = current = pending;
            break;
        default:
            if (code != CommandProbe && (code < FirstApplication || code > LastApplication)) {
                result = CommandUnknown;
            } else if (value > 1) {
                result = CommandOutOfRange;
            } else {
                if (value == 1)
                    applications.insert(code);
                else
                    applications.remove(code);
            }
            break;
        }
    }
    // Emitted unlocked, so receivers may call back into the readers.
    if (applied)
        emit configurationApplied(applied->format, applied->width, applied->height, applied->fps);
    return result;
}

void CommandServer::reply(QTcpSocket *socket, quint8 code, quint8 result)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(code));
    bytes.append('\0');
    bytes.append(static_cast<char>(result));

    switch (replyShape()) {
    case ReplyShape::Normal:
        socket->write(bytes);
        break;
    case ReplyShape::NoReply:
        break;
    case ReplyShape::TruncatedReply:
        socket->write(bytes.left(2));
        break;
    case ReplyShape::PiecewiseReply:
        for (int i = 0; i < bytes.size(); ++i) {
            const char piece = bytes[i];
            QTimer::singleShot(i * PieceIntervalMs, socket, [socket, piece] {
                socket->write(&piece, 1);
                socket->flush();
            });
        }
        break;
    case ReplyShape::LongReply:
        // Trailing bytes unlike the result, so a client reading the wrong byte shows it.
        socket->write(bytes + QByteArray("\xEE\xEE", 2));
        break;
    }
}
