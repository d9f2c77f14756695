// The program's entry: the window with its embedded icon, until the user closes it.

#include <QApplication>
#include <QIcon>

#include "ui/tovanmuxer.h"

int main(int argc, char* argv[]) {
    QApplication a(argc, argv);
    Tovanmuxer w;
    w.setWindowIcon(QIcon(QStringLiteral(":QmainWindow/Resources/myapp1.ico")));
    w.show();
    return a.exec();
}
