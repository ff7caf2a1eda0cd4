#pragma once

#include "FrameParser.h"
#include "FramePath.h"
#include "FrameSlot.h"
#include "StreamStatistics.h"
#include "WireTap.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPixmap>
#include <QString>

#include <memory>

class QTcpSocket;

// Client of the board's video stream: owns the connection to the video port, reports its state,
// parses frame records and turns the frame just completed into a picture on request, handing it
// to the capture writer while capture is on.
class imageStream : public QObject
{
    Q_OBJECT

public:
    // The code that connection_state() carries.
    enum ConnectionState : int { NotConnected = -1, Connected = 1 };

    imageStream(const QString &host, quint16 port);
    ~imageStream() override;

    void setHost(const QString &host);
    void setPort(int port);
    const QString &socketMessage() const;

    // Capture of every converted frame to its own file; numbering restarts at 0 with each start.
    void startCapture(const QString &folder, const QString &prefix, const QString &extension,
                      bool raw);
    void stopCapture();

    // The completed frame's picture (the last good one when this frame is not shown; null for a
    // code that is never shown), captured while capture is on.
    QPixmap currentPixmap();

    // For tests and tools that look at the parsed record itself and what became of it.
    const FrameSlot &completedFrame() const { return parser.completedSlot(); }
    const FramePath::Result &lastFrameResult() const { return lastResult; }

    // Counted from construction until resetStatistics().
    const StreamStatistics &statistics() const { return streamStatistics; }
    void resetStatistics() { streamStatistics.reset(); }
    // The rate the board was set to: the timing's nominal period.
    void setFrameRate(int framesPerSecond) { streamStatistics.setFrameRate(framesPerSecond); }

    // Every byte the parser takes from now on also goes to `sink`, in order; null: none.
    void setWireSink(WireTap::Sink sink);

public slots:
    void reconnect();

signals:
    void imageIsReady();
    void new_socket_info(QString);
    void new_socket_error(QString);
    void connection_state(int);
    void current_fps(QString);
    void capture_in_progress(QString);
    void current_format(QString);
    void current_size(QString);
    // A record refused for its size, once its header is read.
    void recordDropped(const FrameSlot &header);
    // The connection ended without the operator asking.
    void connectionLost();

private slots:
    void process_message();
    void displayError(QAbstractSocket::SocketError socketError);
    void displayConnectionState(QAbstractSocket::SocketState socketState);

private:
    QString host;
    qint32 port;
    QTcpSocket *socket;
    QString statusText;
    // Set while connected; cleared first when the operator ends the connection, so only an end
    // the operator did not ask for counts as lost.
    bool connected = false;
    StreamStatistics streamStatistics;
    FrameParser parser;
    std::unique_ptr<WireTap> wireTap;
    FramePath path;
    FramePath::Result lastResult;
};
