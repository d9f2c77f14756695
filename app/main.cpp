// The program's entry: the window with its embedded icon, and with the files it was started with
// (tovanmuxer FILE..., as the desktop entry opens them) listed as its inputs, until the user
// closes it. --help and --version answer on the terminal, without a display.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QIcon>
#include <cstdio>

#include "ui/tovanmuxer.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer [FILE|FOLDER]...\n"
    "Opens the window that wraps raw H.264 or H.265 streams into MP4 files without\n"
    "re-encoding, with the FILEs and the streams in each FOLDER listed (numbered ones in\n"
    "number order: seg2 before seg10). tovanmuxer-cli converts without a window.\n"
    "\n"
    "  -h, --help     print this help\n"
    "  --version      print the version\n"
    "  --             what follows is a file, even if it begins with -\n"
    "The toolkit's own options (-platform, -style, ...) are taken as well.\n";

}  // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--") break;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            printf("tovanmuxer %s\n", TOVANMUXER_VERSION);
            return 0;
        }
    }
    QApplication a(argc, argv);
    Tovanmuxer w;
    w.setWindowIcon(QIcon(QStringLiteral(":QmainWindow/Resources/myapp1.ico")));
    // The toolkit has taken its own options out of the arguments by now.
    const QStringList files = InputArguments(QApplication::arguments(), QDir::currentPath());
    if (!files.isEmpty()) w.AddInputs(files);
    w.show();
    return a.exec();
}
