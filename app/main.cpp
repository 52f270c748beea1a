#include "usb16relay.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("usb16relay"));
    QApplication::setDesktopFileName(QStringLiteral("usb16relay"));

    Usb16Relay window;
    window.Form_Load();
    window.show();
    return app.exec();
}
