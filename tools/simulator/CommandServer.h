#pragma once

#include "BoardProtocol.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <optional>

class QTcpSocket;

// The platform's command port: answers each 3-byte request (code, 16-bit big-endian value) with a
// 3-byte reply whose third byte is the result. Codes 1-4 set a pending frame rate, format, width
// and height, code 5 makes them current; codes 0 and 6-11 switch applications off (0) or on (1).
//
// The setters and readers may be called from any thread, so the server can run in a thread of
// its own while a client blocks another one. Signals come from the server's thread.
class CommandServer : public QTcpServer
{
    Q_OBJECT

public:
    // Spacing of the pieces of a PiecewiseReply, well below the client's 500 ms read bound.
    static constexpr int PieceIntervalMs = 100;

    // How a reply goes out, for trying the client against a misbehaving platform.
    enum class ReplyShape {
        Normal,
        NoReply,
        TruncatedReply, // 2 bytes, then silence
        PiecewiseReply, // 1-byte pieces, PieceIntervalMs apart
        LongReply,      // 5 bytes
    };

    struct Configuration {
        int format;
        int width;
        int height;
        int fps;
    };

    explicit CommandServer(QObject *parent = nullptr);

    void setReplyShape(ReplyShape shape);
    ReplyShape replyShape() const;
    // Answers every command with CommandRefused and carries none out.
    void setRefuseAll(bool refuse);
    // Leaves a new connection's data unread for this long.
    void setAcceptDelay(int ms);
    int acceptDelay() const;

    // Formats the video stream can produce; others are answered CommandNotProducible. Gray only at first.
    void setProducibleFormats(const QSet<int> &formats);

    // Sets the current and pending configuration without emitting configurationApplied.
    void setConfiguration(const Configuration &configuration);
    Configuration currentConfiguration() const;

    QSet<int> activeApplications() const;

    // Every complete request received, in order, as its 3 bytes.
    QList<QByteArray> requests() const;
    void clearRequests();

    // Names for command-line flags: "normal", "no-reply", "truncated", "pieces", "long".
    static QStringList replyShapeNames();
    static std::optional<ReplyShape> replyShapeFromName(const QString &name);

    static bool isProducibleSize(int width, int height);

signals:
    // Emitted before the request is answered.
    void requestReceived(int code, int value);
    void configurationApplied(int format, int width, int height, int fps);

private:
    void acceptConnections();
    void startReading(QTcpSocket *socket);
    void processRequests(QTcpSocket *socket);
    quint8 handle(quint8 code, quint16 value);
    void reply(QTcpSocket *socket, quint8 code, quint8 result);

    mutable QMutex mutex;
    ReplyShape shape = ReplyShape::Normal;
    bool refusing = false;
    int acceptDelayMs = 0;
    QSet<int> formats;
    Configuration current;
    Configuration pending;
    QSet<int> applications;
    QList<QByteArray> received;
};
