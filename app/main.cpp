// The program's entry: the window with its embedded icon, and with the files it was started with
// (tovanmuxer FILE..., as the desktop entry opens them) listed as its inputs, until the user
// closes it.

#include <QApplication>
#include <QDir>
#include <QIcon>

#include "ui/tovanmuxer.h"

int main(int argc, char* argv[]) {
    QApplication a(argc, argv);
    Tovanmuxer w;
    w.setWindowIcon(QIcon(QStringLiteral(":QmainWindow/Resources/myapp1.ico")));
    // The toolkit has taken its own options out of the arguments by now.
    const QStringList files = InputArguments(QApplication::arguments(), QDir::currentPath());
    if (!files.isEmpty()) w.AddInputs(files);
    w.show();
    return a.exec();
}
