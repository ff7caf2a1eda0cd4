#pragma once

#include <QLabel>
#include <QWidget>

// The window's widgets by object name, as every part of the program refers to them.
template <typename T>
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
