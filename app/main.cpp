#include "MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.setMinimumSize(850, 520);
    window.show();
    return app.exec();
}
