#include "frmdisplay.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    frmDisplay window;
    window.show();
    return app.exec();
}
