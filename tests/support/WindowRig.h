#pragma once

#include "FrameRecord.h"
#include "MainWindow.h"

#include <QtTest>
#include <QtWidgets>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// The window's widgets by object name, as every part of the program refers to them.
template <typename T = QWidget>
T *child(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

inline QString labelText(QWidget *window, const char *name)
{
    return child<QLabel>(window, name)->text();
}

// Acts on the first popup or modal widget of type T to come up, from the event loop of whoever
// waits for it.
template <typename T>
void whenShown(std::function<void(T *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        QWidget *shown = QApplication::activePopupWidget() ? QApplication::activePopupWidget()
                                                           : QApplication::activeModalWidget();
        if (auto *widget = qobject_cast<T *>(shown)) {
            poll->stop();
            poll->deleteLater();
            act(widget);
        }
    });
    poll->start(20);
}

// Accepts each modal message box as soon as it shows, noting its text.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        timer.start(20);
    }
    QTimer timer;
    QStringList texts;
};

// A window whose host and video port point at a listener on 127.0.0.1, where it connects at its
// next reconnection.
struct WindowRig
{
    WindowRig()
    {
        video.listen(QHostAddress::LocalHost, 0);
        child<QLineEdit>(&window, "editHostname")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>(&window, "editVideoPort")->setText(QString::number(video.serverPort()));
    }
    // Video connections accepted so far; peer is the latest.
    int videoConnections()
    {
        for (; video.hasPendingConnections(); ++accepted)
            peer = video.nextPendingConnection();
        return accepted;
    }
    bool connect()
    {
        QTest::keyClick(child<QLineEdit>(&window, "editVideoPort"), Qt::Key_Return);
        return QTest::qWaitFor([this] { return videoConnections() > 0; }, 10000);
    }
    bool showAndConnect()
    {
        window.show();
        return QTest::qWaitForWindowActive(&window) && connect();
    }
    QGraphicsPixmapItem *shown()
    {
        const QList<QGraphicsItem *> items = child<QGraphicsView>(&window, "graphicsView")->scene()->items();
        return qgraphicsitem_cast<QGraphicsPixmapItem *>(items.value(0));
    }
    // Sends a record and waits until the view shows a new picture.
    bool send(const FrameRecord &record)
    {
        const qint64 before = shown()->pixmap().cacheKey();
        peer->write(record.toBytes());
        return QTest::qWaitFor([&] { return shown()->pixmap().cacheKey() != before; }, 10000);
    }

    QTcpServer video;
    QTcpSocket *peer = nullptr;
    int accepted = 0;
    MainWindow window;
};
