// The window: its widget tree, its slots, the real file dialogs and warning boxes, the output
// naming, the typed folder, the status log, whole conversions through the start button, the
// list of inputs converted in turn, the frame-rate question, the progress dialog with cancel and
// close, dropped files and folders, the command line, and a signal mid-conversion.

#include <signal.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QtTest>
#include <functional>

#include "support/audiodecode.h"
#include "support/decode.h"
#include "support/streams.h"
#include "ui/tovanmuxer.h"

namespace {

QStringList debugLines;

void Capture(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg)
        debugLines << msg;
    else
        fprintf(stderr, "%s\n", qPrintable(msg));
}

QString DebugValue(const QString& prefix) {
    for (const QString& l : debugLines)
        if (l.startsWith(prefix)) return l.mid(prefix.size());
    return QString();
}

// The modal widget of type T, else a shown top-level one.
template <typename T>
T* ShownWidget() {
    if (T* w = qobject_cast<T*>(QApplication::activeModalWidget())) return w;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (T* w = qobject_cast<T*>(top); w && w->isVisible()) return w;
    return nullptr;
}

// Runs `act` on the first modal (or shown top-level) widget of type T to appear, from the event
// loop of whatever dialog or conversion the test is about to start.
template <typename T>
QTimer* WhenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (T* w = ShownWidget<T>()) {
            timer->stop();
            timer->deleteLater();
            act(w);
        }
    });
    timer->start();
    return timer;
}

struct BoxSeen {
    bool shown = false;
    QString text, informative, title;
    QString informativeRead;  // what screen readers get of it
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;  // texts, without their mnemonics
    QMessageBox::StandardButtons standard;
    bool parentless = false;
    Qt::WindowFlags flags;
    QSize size;
};

// Answers the next message box with its Yes button, noting what it showed.
QTimer* AnswerBox(BoxSeen* seen) {
    return WhenModal<QMessageBox>([seen](QMessageBox* box) {
        seen->shown = true;
        seen->text = box->text();
        // Without the breaks that let a long path wrap.
        seen->informative = box->informativeText().remove(QChar(0x200B));
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            seen->informativeRead =
                QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
        seen->size = box->size();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->standard = box->standardButtons();
        for (QAbstractButton* b : box->buttons())
            seen->buttons << b->text().remove(QLatin1Char('&'));
        seen->parentless = box->parentWidget() == nullptr;
        seen->flags = box->windowFlags();
        box->button(QMessageBox::Yes)->click();
    });
}

template <typename T>
T* Child(QWidget* w, const char* name) {
    T* c = w->findChild<T*>(QLatin1String(name));
    if (!c) qWarning("no %s", name);
    return c;
}

// "Select", answered in the real file dialog with `input`, chosen under the dialog's filter
// number `filter`; the dialog's filters go to `filters` when given.
void SelectInput(Tovanmuxer* w, const QString& input, int filter = 0,
                 QStringList* filters = nullptr) {
    WhenModal<QFileDialog>([input, filter, filters](QFileDialog* d) {
        if (filters) *filters = d->nameFilters();
        d->selectNameFilter(d->nameFilters().value(filter));
        d->setDirectory(QFileInfo(input).absolutePath());
        d->findChild<QLineEdit*>()->setText(QFileInfo(input).fileName());
        QMetaObject::invokeMethod(d, "accept");
    });
    Child<QPushButton>(w, "btnSelect")->click();
}

// "Select", answered in the real file dialog with several files of one directory.
void SelectInputs(Tovanmuxer* w, const QStringList& inputs) {
    WhenModal<QFileDialog>([inputs](QFileDialog* d) {
        d->setDirectory(QFileInfo(inputs.value(0)).absolutePath());
        QStringList quoted;
        for (const QString& input : inputs)
            quoted << QLatin1Char('"') + QFileInfo(input).fileName() + QLatin1Char('"');
        d->findChild<QLineEdit*>()->setText(quoted.join(QLatin1Char(' ')));
        QMetaObject::invokeMethod(d, "accept");
    });
    Child<QPushButton>(w, "btnSelect")->click();
}

// The texts of the list's rows.
QStringList Rows(Tovanmuxer* w) {
    QStringList rows;
    const QAbstractItemModel* model = Child<QListView>(w, "listInputs")->model();
    for (int i = 0; i < model->rowCount(); ++i) rows << model->index(i, 0).data().toString();
    return rows;
}

// The names of the listed inputs, in order.
QStringList Names(Tovanmuxer* w) {
    QStringList names;
    for (const QString& path : w->Inputs()) names << QFileInfo(path).fileName();
    return names;
}

QStringList Native(const QStringList& paths) {
    QStringList native;
    for (const QString& p : paths) native << QDir::toNativeSeparators(p);
    return native;
}

// Records the URLs that the desktop would have opened.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void Open(const QUrl& url) { urls << url; }
};

// Types `dir` into the emptied directory field.
void TypeDir(Tovanmuxer* w, const QString& dir) {
    auto* field = Child<QLineEdit>(w, "edtDownPath");
    field->clear();
    QTest::keyClicks(field, QDir::toNativeSeparators(dir));
}

// The files in `dir`, hidden ones (an unfinished output) included.
QStringList FilesIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden);
}

// The unfinished outputs in `dir`: hidden files.
QFileInfoList PartsIn(const QString& dir) {
    return QDir(dir).entryInfoList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
}

// Runs `act` at the first turn of the event loop that a conversion in `w` gives, once it is
// under way (the window shows the wait cursor).
void DuringConversion(Tovanmuxer* w, std::function<void()> act) {
    QMetaObject::invokeMethod(
        qApp,
        [w, act] {
            if (w->cursor().shape() == Qt::WaitCursor)
                act();
            else
                DuringConversion(w, act);
        },
        Qt::QueuedConnection);
}

// A stream of some 1 GB (a small one repeated), long enough to convert that the progress
// dialog shows well before the end, also on a fast machine; made once per run. Under the
// sanitizers, which convert many times slower, a quarter of it does.
QString LongStream(const QTemporaryDir& tmp) {
#ifdef TOVANMUXER_SANITIZED
    constexpr qint64 kSize = 250000000;
#else
    constexpr qint64 kSize = 1000000000;
#endif
    const QString path = tmp.filePath(QStringLiteral("long.h264"));
    if (QFileInfo(path).size() > 0) return path;
    const QByteArray one = ReadFileBytes(FindTestStream(QStringLiteral("fps60_320x240.h264")).file);
    QFile f(path);
    if (one.isEmpty() || !f.open(QIODevice::WriteOnly)) return QString();
    const QByteArray block = one.repeated(64);
    for (qint64 n = 0; n < kSize; n += block.size()) f.write(block);
    return path;
}

// The child process of signalRemovesPart: converts `input` into `dir` through the window until
// the parent's signal ends it.
int ConvertInChild(const QString& input, const QString& dir) {
    Tovanmuxer w;
    w.show();
    SelectInput(&w, input);
    TypeDir(&w, dir);
    Child<QPushButton>(&w, "btnStartDownload")->click();
    return 0;
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

private Q_SLOTS:
    void initTestCase() {
        qInstallMessageHandler(Capture);
        QVERIFY(tmp.isValid());
    }
    void init() { debugLines.clear(); }

    void widgetTree() {
        Tovanmuxer w;
        QCOMPARE(w.objectName(), QStringLiteral("TovanmuxerClass"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovanmuxer"));
        QCOMPARE(w.size(), QSize(600, 460));
        QVERIFY(!w.menuWidget() && !w.findChild<QStatusBar*>() && !w.findChild<QToolBar*>());
        QWidget* central = w.centralWidget();
        QVERIFY(central);
        QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
        auto* vbox = qobject_cast<QVBoxLayout*>(central->layout());
        QVERIFY(vbox);
        QCOMPARE(vbox->objectName(), QStringLiteral("verticalLayout"));

        auto* group = Child<QGroupBox>(&w, "groupBox");
        auto* group2 = Child<QGroupBox>(&w, "groupBox_2");
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        QVERIFY(group && group2 && start);
        QCOMPARE(vbox->count(), 3);
        QCOMPARE(vbox->itemAt(0)->widget(), group);
        QCOMPARE(vbox->itemAt(1)->widget(), group2);
        QCOMPARE(vbox->itemAt(2)->widget(), start);
        for (QWidget* c : {static_cast<QWidget*>(group), static_cast<QWidget*>(group2),
                           static_cast<QWidget*>(start)})
            QCOMPARE(c->parentWidget(), central);
        QCOMPARE(group->title(), QStringLiteral("Convert Tool"));
        QCOMPARE(group2->title(), QStringLiteral("Prompt Message"));
        QCOMPARE(start->text(), QStringLiteral("Start&Download"));
        QCOMPARE(group2->minimumSize(), QSize(0, 110));

        auto* grid = qobject_cast<QGridLayout*>(group->layout());
        QVERIFY(grid);
        QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
        struct Cell {
            const char* name;
            const char* cls;
            int row, column;
            const char* text;
        };
        const Cell cells[] = {{"label", "QLabel", 0, 0, "Open files"},
                              {"edtFilePath", "QLineEdit", 0, 1, ""},
                              {"btnSelect", "QPushButton", 0, 2, "&Select"},
                              {"label_2", "QLabel", 1, 0, "Save downloaded files to"},
                              {"edtDownPath", "QLineEdit", 1, 1, nullptr},
                              {"btnBrowse", "QPushButton", 1, 2, "&Browse"}};
        for (const Cell& c : cells) {
            QWidget* item = grid->itemAtPosition(c.row, c.column)->widget();
            QVERIFY(item);
            QCOMPARE(item->objectName(), QLatin1String(c.name));
            QCOMPARE(item->metaObject()->className(), c.cls);
            QCOMPARE(item->parentWidget(), group);
            int r, col, rs, cs;
            grid->getItemPosition(grid->indexOf(item), &r, &col, &rs, &cs);
            QCOMPARE(rs, 1);
            QCOMPARE(cs, 1);
            if (!c.text) continue;
            const QString text = item->property("text").toString();
            QCOMPARE(text, QLatin1String(c.text));
        }
        // The list of inputs fills the group's third row, its buttons beside it.
        auto* list = Child<QListView>(&w, "listInputs");
        QVERIFY(list);
        QCOMPARE(list->parentWidget(), group);
        int r, col, rs, cs;
        grid->getItemPosition(grid->indexOf(list), &r, &col, &rs, &cs);
        QCOMPARE(QList<int>({r, col, rs, cs}), QList<int>({2, 0, 1, 2}));
        QCOMPARE(list->model()->rowCount(), 0);
        auto* join = Child<QCheckBox>(&w, "chkJoin");
        QVERIFY(join && !join->isChecked());
        grid->getItemPosition(grid->indexOf(join), &r, &col, &rs, &cs);
        QCOMPARE(QList<int>({r, col, rs, cs}), QList<int>({3, 0, 1, 3}));
        // Every control has an accessible name: its label's text, or its own.
        const std::pair<const char*, const char*> names[] = {
            {"edtFilePath", "Open files"},
            {"btnSelect", "Select"},
            {"edtDownPath", "Save downloaded files to"},
            {"btnBrowse", "Browse"},
            {"listInputs", "Inputs"},
            {"btnUp", "Move up"},
            {"btnDown", "Move down"},
            {"btnRemove", "Remove"},
            {"btnClear", "Clear"},
            {"chkJoin", "Join into one file (segments of one recording, in the listed order)"},
            {"textLog", "Prompt Message"},
            {"btnStartDownload", "StartDownload"}};
        for (const auto& [object, name] : names) {
            QAccessibleInterface* a =
                QAccessible::queryAccessibleInterface(w.findChild<QWidget*>(QLatin1String(object)));
            QVERIFY(a);
            QCOMPARE(a->text(QAccessible::Name), QLatin1String(name));
        }
        QVERIFY(!Child<QLineEdit>(&w, "edtFilePath")->isEnabled());
        QVERIFY(Child<QLineEdit>(&w, "edtDownPath")->isEnabled());
        QCOMPARE(Child<QLineEdit>(&w, "edtDownPath")->text(),
                 QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));

        auto* form = qobject_cast<QFormLayout*>(group2->layout());
        auto* log = Child<QTextBrowser>(&w, "textLog");
        QVERIFY(form && log);
        QCOMPARE(form->objectName(), QStringLiteral("formLayout"));
        QCOMPARE(log->parentWidget(), group2);
        QCOMPARE(log->minimumSize(), QSize(0, 70));
        QCOMPARE(form->itemAt(0, QFormLayout::SpanningRole)->widget(), log);
        QVERIFY(log->toPlainText().isEmpty());
        for (QLayout* l : {static_cast<QLayout*>(vbox), static_cast<QLayout*>(grid),
                           static_cast<QLayout*>(form)}) {
            QCOMPARE(l->spacing(), 6);
            QCOMPARE(l->contentsMargins(), QMargins(11, 11, 11, 11));
        }
        // At its smallest the window still shows every control of the group whole, none over
        // another.
        w.show();
        w.resize(w.minimumSize().expandedTo(w.minimumSizeHint()));
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QApplication::processEvents();
        QList<QWidget*> controls;
        for (QWidget* c : group->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            if (c->isVisible()) controls << c;
        for (QWidget* c : controls) {
            QVERIFY2(group->contentsRect().contains(c->geometry()), c->objectName().toLatin1());
            for (QWidget* d : controls)
                QVERIFY2(c == d || !c->geometry().intersects(d->geometry()),
                         (c->objectName() + QLatin1Char(' ') + d->objectName()).toLatin1());
        }
    }

    void outputNaming() {
        QCOMPARE(OutputNameFor(QStringLiteral("clip.h264")), QStringLiteral("clip.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("clip.h26x")), QStringLiteral("clip.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("a.h264.h264")), QStringLiteral("a.mp4.mp4"));
        // Whatever remains always ends in .mp4: its last extension replaced, or .mp4 added.
        QCOMPARE(OutputNameFor(QStringLiteral("CAM01.H264")), QStringLiteral("CAM01.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("ch01.264")), QStringLiteral("ch01.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("a.b.h265")), QStringLiteral("a.b.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("stream")), QStringLiteral("stream.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral(".h26")), QStringLiteral(".h26.mp4"));
        // Any length of path gives its file name.
        const QString deep = QStringLiteral("/home/") + QString(300, QLatin1Char('d')) +
                             QStringLiteral("/caméra ünd.h264");
        QCOMPARE(FileNameOfPath(deep), QStringLiteral("caméra ünd.h264"));
        QCOMPARE(FileNameOfPath(QStringLiteral("plain.h264")), QStringLiteral("plain.h264"));
        // Directory, separator, 24-hour stamp, name; none after a drive root; nothing for a
        // directory too short to hold the file.
        const QDateTime when(QDate(2024, 3, 5), QTime(19, 8, 9));
        const QString stamped = QStringLiteral("2024-03-05-19.08.09-clip.mp4");
        const QString name = QStringLiteral("clip.mp4");
        QCOMPARE(ComposeOutputPath(QStringLiteral("/tmp/out"), when, name),
                 QStringLiteral("/tmp/out/") + stamped);
        QCOMPARE(ComposeOutputPath(QStringLiteral("C:/"), when, name),
                 QStringLiteral("C:/") + stamped);
        QCOMPARE(ComposeOutputPath(QStringLiteral("/ab"), when, name),
                 QStringLiteral("/ab/") + stamped);
        QVERIFY(ComposeOutputPath(QStringLiteral("C:"), when, name).isEmpty());
        QVERIFY(ComposeOutputPath(QStringLiteral("/"), when, name).isEmpty());
        QVERIFY(ComposeOutputPath(QString(), when, name).isEmpty());
        // An existing output gets -2, -3 before .mp4.
        const QString base = tmp.filePath(QStringLiteral("taken.mp4"));
        QCOMPARE(UnusedPath(base), base);
        QFile(base).open(QIODevice::WriteOnly);
        QCOMPARE(UnusedPath(base), tmp.filePath(QStringLiteral("taken-2.mp4")));
        QFile(tmp.filePath(QStringLiteral("taken-2.mp4"))).open(QIODevice::WriteOnly);
        QCOMPARE(UnusedPath(base), tmp.filePath(QStringLiteral("taken-3.mp4")));
        // A name holding "%1" or "%2" keeps them.
        const QString percent = tmp.filePath(QStringLiteral("cam%2-%1.mp4"));
        QFile(percent).open(QIODevice::WriteOnly);
        QCOMPARE(UnusedPath(percent), tmp.filePath(QStringLiteral("cam%2-%1-2.mp4")));
    }

    void embeddedIcon() {
        const QString path = QStringLiteral(":QmainWindow/Resources/myapp1.ico");
        QCOMPARE(QFile(path).size(), 67646);
        QVERIFY(QIcon(path).availableSizes().contains(QSize(128, 128)));
        // 32 bits per pixel with real transparency: clear corners, an opaque middle.
        const QImage image(path);
        QCOMPARE(image.size(), QSize(128, 128));
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(127, 127)), 0);
        QCOMPARE(qAlpha(image.pixel(64, 64)), 255);
    }

    void statusLog() {
        Tovanmuxer w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* log = Child<QTextBrowser>(&w, "textLog");
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/a.mp4"));
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/b.mp4"));
        // A click inside an older line, then a selection of everything: each next line still
        // goes at the end, and nothing is replaced.
        QTextCursor inFirst(log->document());
        inFirst.setPosition(4);
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(inFirst).center());
        QCOMPARE(log->textCursor().position(), 4);
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/c.mp4"));
        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QVERIFY(log->textCursor().hasSelection());
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/d.mp4"));
        const QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);  // four lines, each ending in a line feed
        QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] /tmp/a\\.mp4$"))
                    .match(lines[0])
                    .hasMatch());
        for (int i = 1; i < 4; ++i)
            QVERIFY2(lines[i].endsWith(QStringLiteral("] /tmp/%1.mp4").arg(QLatin1Char('a' + i))),
                     qPrintable(lines[i]));
        QVERIFY(lines[4].isEmpty());
        w.ShowStatus(7, 1, 2, QStringLiteral("x"));  // other levels write nothing
        QCOMPARE(log->toPlainText().split(QLatin1Char('\n')).size(), 5);
        w.ShowStatus(1, 640, 360, QString());
        QVERIFY(log->toPlainText().contains(QStringLiteral(") Test Function: 640 * 360")));
    }

    void defaultSaveDir() {
        // The program's directory while it can be written and is not a system one (as for root,
        // who can write into /usr/bin); else the videos directory, else home.
        const QByteArray home = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME");
        QTemporaryDir user;
        qputenv("HOME", QFile::encodeName(user.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(user.filePath(QStringLiteral(".config"))));
        const QString program = QCoreApplication::applicationDirPath();
        const QString installed = user.filePath(QStringLiteral("not-there/bin"));
        const QString home1 = DefaultSaveDir(installed);
        QVERIFY(QDir(user.path()).mkdir(QStringLiteral("Videos")));
        const QString videos = DefaultSaveDir(installed);
        const QString system = DefaultSaveDir(QStringLiteral("/usr/bin"));
        qputenv("HOME", home);
        config.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", config);
        QCOMPARE(DefaultSaveDir(program), program);
        QCOMPARE(home1, user.path());
        QCOMPARE(videos, user.filePath(QStringLiteral("Videos")));
        QCOMPARE(system, user.filePath(QStringLiteral("Videos")));
    }

    void warningBoxes_data() {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << QStringLiteral("Please open file!");
        QTest::newRow("1") << 1 << QStringLiteral("Convert failed, please rewrite the operation!");
        QTest::newRow("2") << 2 << QStringLiteral("The save file path cannot be empty!");
    }
    void warningBoxes() {
        QFETCH(int, level);
        QFETCH(QString, text);
        Tovanmuxer w;
        BoxSeen seen;
        AnswerBox(&seen);
        w.QMessageBox_warning(level);
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, text);
        QCOMPARE(seen.title, QStringLiteral("Warning"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.standard, QMessageBox::StandardButtons(QMessageBox::Yes));
        QCOMPARE(seen.buttons.size(), 1);
        QCOMPARE(seen.buttons[0], QStringLiteral("Yes"));
        QVERIFY(seen.parentless);
        QVERIFY(seen.flags.testFlag(Qt::Dialog));
        QVERIFY(seen.flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    }

    void noBoxForOtherLevels() {
        Tovanmuxer w;
        BoxSeen seen;
        QTimer* watch = AnswerBox(&seen);
        w.QMessageBox_warning(3);
        w.QMessageBox_warning(-1);
        QTest::qWait(100);
        delete watch;
        QVERIFY(!seen.shown);
    }

    void startWithoutChoices() {
        Tovanmuxer w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // Nothing chosen: warning 0. The start button pressed by Enter, Space or Alt+D.
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        start->setFocus();
        const std::pair<int, Qt::KeyboardModifiers> keys[] = {{Qt::Key_Return, {}},
                                                              {Qt::Key_Enter, {}},
                                                              {Qt::Key_Space, {}},
                                                              {Qt::Key_D, Qt::AltModifier}};
        for (const auto& [keyCode, modifiers] : keys) {
            w.activateWindow();  // again, after the box
            QVERIFY(QTest::qWaitForWindowActive(&w));
            BoxSeen seen;
            AnswerBox(&seen);
            QTest::keyClick(start, Qt::Key(keyCode), modifiers);
            // A mnemonic clicks after showing the button pressed a moment.
            QTRY_VERIFY2(seen.shown, qPrintable(QKeySequence(keyCode | modifiers).toString()));
            QCOMPARE(seen.text, QStringLiteral("Please open file!"));
        }
        // An empty directory field: warning 2, nothing else.
        Child<QLineEdit>(&w, "edtDownPath")->clear();
        BoxSeen seen2;
        AnswerBox(&seen2);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen2.text, QStringLiteral("The save file path cannot be empty!"));
        QVERIFY(debugLines.contains(QStringLiteral("## check download path str= ")));
        QVERIFY(DebugValue(QStringLiteral("## download file output_path=")).isNull());
    }

    void dialogsAndWholeConversion_data() {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<int>("filter");
        QTest::newRow("H.264") << TestStreams().value(0).Name() << ".h264" << 0;
        QTest::newRow("H.265, all files") << "nobframes_320x240.hevc"
                                          << ".hevc" << 1;
    }

    void dialogsAndWholeConversion() {
        QFETCH(QString, stream);
        QFETCH(QString, extension);
        QFETCH(int, filter);
        const TestStream s = FindTestStream(stream);
        QVERIFY(!s.file.isEmpty());
        // The input: a copy with a long, non-ASCII name in the temporary directory.
        const QString input = tmp.filePath(QStringLiteral("clip ünïcode ") +
                                           QString(80, QLatin1Char('x')) + extension);
        QVERIFY(QFile::copy(s.file, input));
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();

        QStringList filters;
        SelectInput(&w, input, filter, &filters);
        // The first filter shows every kind of stream the converter takes.
        QCOMPARE(filters,
                 QStringList(
                     {QStringLiteral("Video File(*.h264 *.h26x *.264 *.h265 *.hevc *.265 *.dav)"),
                      QStringLiteral("All files (*)")}));
        QCOMPARE(Child<QLineEdit>(&w, "edtFilePath")->text(), QDir::toNativeSeparators(input));
        QCOMPARE(DebugValue(QStringLiteral("## input_file_name=")), QFileInfo(input).fileName());

        WhenModal<QFileDialog>([&](QFileDialog* d) {
            d->setDirectory(outDir.path());
            d->findChild<QLineEdit*>()->setText(outDir.path());
            QMetaObject::invokeMethod(d, "accept");
        });
        Child<QPushButton>(&w, "btnBrowse")->click();
        QCOMPARE(Child<QLineEdit>(&w, "edtDownPath")->text(),
                 QDir::toNativeSeparators(outDir.path()));

        const QDateTime before = QDateTime::currentDateTime();
        Child<QPushButton>(&w, "btnStartDownload")->click();
        const QStringList made = QDir(outDir.path()).entryList(QDir::Files);
        QCOMPARE(made.size(), 1);
        const QString name = made[0];
        // The stamp, then the input's name with .h264 replaced.
        const QRegularExpression stamp(
            QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d-\\d\\d\\.\\d\\d\\.\\d\\d)-(.*)$"));
        const QRegularExpressionMatch m = stamp.match(name);
        QVERIFY2(m.hasMatch(), qPrintable(name));
        QCOMPARE(m.captured(2), OutputNameFor(QFileInfo(input).fileName()));
        const QDateTime when =
            QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd-hh.mm.ss"));
        QVERIFY(qAbs(when.secsTo(before)) <= 2);
        const QString out = outDir.filePath(name);
        QCOMPARE(DebugValue(QStringLiteral("## download file output_path=")),
                 QDir::toNativeSeparators(out) + QLatin1Char(' '));
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);  // the wait cursor is gone
        const QVector<QByteArray> pictures = DecodePictureHashes(input);
        QVERIFY(!pictures.isEmpty());
        QCOMPARE(DecodePictureHashes(out), pictures);
        // The log: the time the name carries, the input, the summary, the output.
        const QString log = Child<QTextBrowser>(&w, "textLog")->toPlainText();
        QCOMPARE(log, QStringLiteral("[%1] %2: %3 pictures, ")
                              .arg(when.time().toString(Qt::TextDate), QFileInfo(input).fileName())
                              .arg(pictures.size()) +
                          log.section(QStringLiteral(" pictures, "), 1));
        QVERIFY2(log.endsWith(QStringLiteral(" -> ") + QDir::toNativeSeparators(out) +
                              QLatin1Char('\n')),
                 qPrintable(log));
        QCOMPARE(Rows(&w),
                 QStringList{QFileInfo(input).fileName() + QStringLiteral(": done: ") + name});

        // A done input stays done: the start button has nothing left to convert.
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        BoxSeen again;
        AnswerBox(&again);
        start->click();
        QCOMPARE(again.text, QStringLiteral("Please open file!"));
        QCOMPARE(again.informative, QStringLiteral("Every listed file is converted already."));
        QCOMPARE(FilesIn(outDir.path()).size(), 1);
        // A cancelled file dialog changes nothing; "Clear" empties the list, "Select" adds.
        WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        Child<QPushButton>(&w, "btnSelect")->click();
        QCOMPARE(Child<QLineEdit>(&w, "edtFilePath")->text(), QDir::toNativeSeparators(input));
        QCOMPARE(Rows(&w).size(), 1);
        const auto relist = [&] {
            Child<QPushButton>(&w, "btnClear")->click();
            QVERIFY(Rows(&w).isEmpty());
            SelectInput(&w, input);
            QCOMPARE(Rows(&w),
                     QStringList{QFileInfo(input).fileName() + QStringLiteral(": waiting")});
        };
        relist();

        // A directory typed into the field is where the next output goes.
        QTemporaryDir typedDir;
        TypeDir(&w, typedDir.path());
        start->click();
        QCOMPARE(FilesIn(typedDir.path()).size(), 1);
        relist();
        // One that does not exist fails with the engine's reason.
        TypeDir(&w, typedDir.filePath(QStringLiteral("missing")));
        BoxSeen missing;
        AnswerBox(&missing);
        start->click();
        QCOMPARE(missing.text, QStringLiteral("Convert failed, please rewrite the operation!"));
        QVERIFY2(missing.informative.contains(QStringLiteral("No such file or directory")),
                 qPrintable(missing.informative));

        // A cancelled directory dialog empties the directory: warning 2. Typed back, the
        // directory is used again.
        WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        Child<QPushButton>(&w, "btnBrowse")->click();
        QVERIFY(Child<QLineEdit>(&w, "edtDownPath")->text().isEmpty());
        BoxSeen seen2;
        AnswerBox(&seen2);
        start->click();
        QCOMPARE(seen2.text, QStringLiteral("The save file path cannot be empty!"));
        TypeDir(&w, outDir.path());
        start->click();
        QCOMPARE(FilesIn(outDir.path()).size(), 2);

        // A failed conversion says so, with the reason, and leaves nothing: an empty file is
        // said to be one.
        relist();
        QFile::resize(input, 0);
        BoxSeen seen;
        AnswerBox(&seen);
        start->click();
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, QStringLiteral("Convert failed, please rewrite the operation!"));
        QCOMPARE(seen.informative, QStringLiteral("empty file"));
        QCOMPARE(Rows(&w),
                 QStringList{QFileInfo(input).fileName() + QStringLiteral(": failed: empty file")});
        QCOMPARE(FilesIn(outDir.path()).size(), 2);
        // An emptied list: warning 0.
        Child<QPushButton>(&w, "btnClear")->click();
        QVERIFY(Child<QLineEdit>(&w, "edtFilePath")->text().isEmpty());
        BoxSeen seen4;
        AnswerBox(&seen4);
        start->click();
        QCOMPARE(seen4.text, QStringLiteral("Please open file!"));
    }

    void frameRateQuestion_data() {
        QTest::addColumn<QStringList>("answers");  // typed in turn; an empty one cancels
        QTest::addColumn<uint>("num");
        QTest::addColumn<uint>("den");
        QTest::newRow("listed") << QStringList{QStringLiteral("29.97")} << 30000u << 1001u;
        QTest::newRow("typed") << QStringList{QStringLiteral("12.5")} << 25u << 2u;
        // Not completed to a listed one (23.976) on the way.
        QTest::newRow("start of a listed one") << QStringList{QStringLiteral("2")} << 2u << 1u;
        QTest::newRow("not a rate, then one")
            << QStringList{QStringLiteral("fast"), QStringLiteral("30")} << 30u << 1u;
        QTest::newRow("cancelled") << QStringList{QString()} << 0u << 0u;
    }
    void frameRateQuestion() {
        // A stream that does not say its frame rate: the window asks before converting.
        QFETCH(QStringList, answers);
        QFETCH(uint, num);
        QFETCH(uint, den);
        const QString input = tmp.filePath(QStringLiteral("cam.h264"));
        QFile::remove(input);
        QVERIFY(QFile::copy(FindTestStream(QStringLiteral("notiming_320x240.h264")).file, input));
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        SelectInput(&w, input);
        TypeDir(&w, outDir.path());
        // The list, the preselected rate, the box's name and the question as screen readers get
        // it, when first asked.
        QString offered;
        bool enterIgnored = false;
        std::function<void(QInputDialog*)> answer = [&](QInputDialog* d) {
            auto* box = d->findChild<QComboBox*>();
            if (offered.isEmpty())
                offered = d->comboBoxItems().join(QLatin1Char(' ')) + QLatin1Char('|') +
                          d->textValue() + QLatin1Char('|') + box->accessibleName() +
                          QLatin1Char('|') + d->findChild<QLabel*>()->accessibleName();
            const QString a = answers.takeFirst();
            if (a.isEmpty()) return d->reject();
            QLineEdit* typed = box->lineEdit();
            typed->clear();
            QTest::keyClicks(typed, a);
            if (!answers.isEmpty()) WhenModal<QInputDialog>(answer);
            // One Enter answers.
            QTest::keyClick(typed, Qt::Key_Return);
            if (d->isVisible()) {
                enterIgnored = true;
                d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            }
        };
        WhenModal<QInputDialog>(answer);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QVERIFY(answers.isEmpty());
        QVERIFY(!enterIgnored);
        QCOMPARE(offered, QStringLiteral("23.976 24 25 29.97 30 50 59.94 60|25|Frames per second|"
                                         "cam.h264 does not say its frame rate.\nFrames per "
                                         "second:"));
        const QStringList made = FilesIn(outDir.path());
        if (!num) {  // cancelled: nothing converted, nothing said
            QVERIFY(made.isEmpty());
            QVERIFY(Child<QTextBrowser>(&w, "textLog")->toPlainText().isEmpty());
            return;
        }
        QCOMPARE(made.size(), 1);
        const Mp4Info info = ReadMp4Info(outDir.filePath(made[0]));
        QVERIFY2(info.ok, qPrintable(info.error));
        QVERIFY(!info.sttsDeltas.isEmpty());
        QCOMPARE(uint64_t(info.trackTimeScale) * den, uint64_t(info.sttsDeltas[0]) * num);
    }

    void progressCancelAndClose() {
        const QString input = LongStream(tmp);
        QVERIFY(!input.isEmpty());
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        SelectInput(&w, input);
        TypeDir(&w, outDir.path());
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        // The dialog shows the share read and has the keyboard focus; the window's controls
        // are disabled, a double click on the start button or typing into the directory field
        // meanwhile does nothing, and Escape cancels, leaving the window as it was.
        int shownValue = -1;
        QString label, rowDuring, barName;
        bool partSeen = false, focusInDialog = false;
        QStringList enabledDuring;
        WhenModal<QProgressDialog>([&](QProgressDialog* d) {
            QTest::qWait(50);  // the dialog takes the focus at its next turn
            shownValue = d->value();
            label = d->labelText();
            partSeen = !PartsIn(outDir.path()).isEmpty();
            rowDuring = Rows(&w).value(0);
            barName = d->findChild<QProgressBar*>()->accessibleName();
            for (QWidget* c : w.findChildren<QWidget*>())
                if (c->window() == &w && c->isEnabled() &&
                    (qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c) ||
                     qobject_cast<QListView*>(c)))
                    enabledDuring << c->objectName();
            QWidget* focus = QApplication::focusWidget();
            focusInDialog = focus && focus->window() == d;
            QTest::mouseDClick(start, Qt::LeftButton);
            QTest::keyClicks(Child<QLineEdit>(&w, "edtDownPath"), QStringLiteral("x"));
            QTest::keyClick(focus ? focus : d, Qt::Key_Escape);
        });
        BoxSeen seen;
        QTimer* watch = AnswerBox(&seen);
        QTest::mouseClick(start, Qt::LeftButton);
        QTest::qWait(200);  // anything queued during the conversion would run now
        delete watch;
        QVERIFY2(shownValue > 0 && shownValue < 1000, qPrintable(QString::number(shownValue)));
        QVERIFY(label.contains(QStringLiteral("long.h264")));
        QVERIFY(partSeen);
        QVERIFY(focusInDialog);
        QVERIFY2(enabledDuring.isEmpty(), qPrintable(enabledDuring.join(QLatin1Char(' '))));
        QVERIFY2(rowDuring.startsWith(QStringLiteral("long.h264: converting, ")),
                 qPrintable(rowDuring));
        QCOMPARE(barName, QStringLiteral("Share converted"));
        QCOMPARE(Rows(&w), QStringList{QStringLiteral("long.h264: cancelled")});
        QVERIFY(start->isEnabled() && Child<QPushButton>(&w, "btnSelect")->isEnabled());
        QVERIFY(!seen.shown);
        QVERIFY(!ShownWidget<QProgressDialog>());
        QCOMPARE(FilesIn(outDir.path()), QStringList());
        QVERIFY2(Child<QTextBrowser>(&w, "textLog")
                     ->toPlainText()
                     .endsWith(QStringLiteral("] long.h264: cancelled\n")),
                 qPrintable(Child<QTextBrowser>(&w, "textLog")->toPlainText()));
        QCOMPARE(Child<QLineEdit>(&w, "edtFilePath")->text(), QDir::toNativeSeparators(input));
        QCOMPARE(Child<QLineEdit>(&w, "edtDownPath")->text(),
                 QDir::toNativeSeparators(outDir.path()));
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);

        // Closing the window asks first. No: the conversion goes on (here until cancelled).
        QTest::qWait(QApplication::doubleClickInterval());
        QString question;
        WhenModal<QProgressDialog>([&](QProgressDialog* d) {
            WhenModal<QMessageBox>([&](QMessageBox* box) {
                question = box->text();
                box->button(QMessageBox::No)->click();
            });
            w.close();
            partSeen = !PartsIn(outDir.path()).isEmpty() && d->isVisible();
            d->cancel();
        });
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(question,
                 QStringLiteral("A conversion is running. Stop it and close the window?"));
        QVERIFY(partSeen);
        QVERIFY(w.isVisible());
        QCOMPARE(FilesIn(outDir.path()), QStringList());
        // Yes: it stops, the unfinished file goes, and the window closes.
        QTest::qWait(QApplication::doubleClickInterval());
        WhenModal<QProgressDialog>([&](QProgressDialog*) {
            WhenModal<QMessageBox>(
                [&](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
            w.close();
        });
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(!w.isVisible());
        QCOMPARE(FilesIn(outDir.path()), QStringList());
    }

    // Clicks that arrive while a conversion runs, however short, or just after it, start nothing
    // afterwards: a double click's second click, queued after the conversion's last turn of the
    // event loop, or coming after its end.
    void clickQueuedDuringConversion() {
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        SelectInput(&w, FindTestStream(QStringLiteral("baseline_320x240.h264")).file);
        TypeDir(&w, outDir.path());
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        DuringConversion(&w, [start] {
            const QPointF at = start->rect().center();
            QCoreApplication::postEvent(
                start, new QMouseEvent(QEvent::MouseButtonPress, at, start->mapToGlobal(at),
                                       Qt::LeftButton, Qt::LeftButton, {}));
            QCoreApplication::postEvent(
                start, new QMouseEvent(QEvent::MouseButtonRelease, at, start->mapToGlobal(at),
                                       Qt::LeftButton, Qt::NoButton, {}));
        });
        // Such a click would find the input done, and say that nothing is left to convert.
        BoxSeen stray;
        QTimer* watch = AnswerBox(&stray);
        QTest::mouseClick(start, Qt::LeftButton);
        // A click within the double-click interval after the end: the second click of a double
        // click that the conversion outran.
        QTest::mouseClick(start, Qt::LeftButton);
        QTest::qWait(200);  // anything still queued would run now
        delete watch;
        QVERIFY(!stray.shown);
        QCOMPARE(FilesIn(outDir.path()).size(), 1);
        QCOMPARE(Child<QTextBrowser>(&w, "textLog")->toPlainText().count(QLatin1Char('\n')), 1);
        // Later, a click is a click again.
        QTest::qWait(QApplication::doubleClickInterval());
        w.AddInputs({FindTestStream(QStringLiteral("aud_320x240.h264")).file});
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(FilesIn(outDir.path()).size(), 2);
    }

    // Another window that takes the same name first (two started in the same second): this
    // one's file takes the next free name, as it would for a file that was there before.
    void nameTakenDuringConversion() {
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        const QString input = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        SelectInput(&w, input);
        TypeDir(&w, outDir.path());
        QString taken;
        DuringConversion(&w, [&] {
            const QFileInfoList parts = PartsIn(outDir.path());
            if (parts.size() != 1) return;
            const QString part = parts[0].fileName();  // ".NAME.XXXXXX"
            taken = outDir.filePath(part.mid(1, part.size() - 8));
            QFile f(taken);
            if (f.open(QIODevice::WriteOnly)) f.write("another window's");
        });
        BoxSeen seen;
        QTimer* watch = AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        delete watch;
        QVERIFY2(!seen.shown, qPrintable(seen.informative));
        QVERIFY(taken.endsWith(QLatin1String("-baseline_320x240.mp4")));
        QCOMPARE(ReadFileBytes(taken), QByteArray("another window's"));
        const QString second = taken.left(taken.size() - 4) + QStringLiteral("-2.mp4");
        QCOMPARE(DecodePictureHashes(second), DecodePictureHashes(input));
        QVERIFY(Child<QTextBrowser>(&w, "textLog")
                    ->toPlainText()
                    .contains(QDir::toNativeSeparators(second)));
        QCOMPARE(FilesIn(outDir.path()).size(), 2);
    }

    void droppedFilesAndFolders() {
        // Files or a folder dropped anywhere on the window are added to the inputs; of a folder,
        // the streams it holds, by content, in the order of their names.
        Tovanmuxer w;
        w.show();
        auto* path = Child<QLineEdit>(&w, "edtFilePath");
        auto* dir = Child<QLineEdit>(&w, "edtDownPath");
        const QString dirText = dir->text();
        const auto drop = [](QWidget* target, const QMimeData& mime) {
            QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction, &mime, Qt::LeftButton, {});
            QApplication::sendEvent(target, &enter);
            if (!enter.isAccepted()) return false;
            QDropEvent dropped(QPointF(4, 4), Qt::CopyAction, &mime, Qt::LeftButton, {});
            QApplication::sendEvent(target, &dropped);
            return dropped.isAccepted();
        };
        const QString stream = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        QMimeData file;
        file.setUrls({QUrl::fromLocalFile(stream)});
        for (QWidget* target :
             {static_cast<QWidget*>(&w), Child<QWidget>(&w, "label"),
              Child<QTextBrowser>(&w, "textLog")->viewport(),
              Child<QListView>(&w, "listInputs")->viewport(), static_cast<QWidget*>(dir)}) {
            QVERIFY(drop(target, file));
            QCOMPARE(w.Inputs(), QStringList{QDir::toNativeSeparators(stream)});  // once
            QCOMPARE(path->text(), QDir::toNativeSeparators(stream));
        }
        QCOMPARE(dir->text(), dirText);  // not typed into the directory field
        QMimeData text;
        text.setText(QStringLiteral("clip.h264"));
        QVERIFY(!drop(&w, text));

        // A folder: streams under any name, numbered ones in number order; not an MP4 file,
        // a text or an empty file, whatever their names.
        QTemporaryDir folder;
        const QString h265 = FindTestStream(QStringLiteral("nobframes_320x240.hevc")).file;
        const struct {
            const char* name;
            QString from;  // a test stream, else these bytes
            QByteArray bytes;
        } files[] = {{"seg10.h264", stream, {}}, {"seg2.h264", h265, {}},
                     {"seg1.bin", stream, {}},   {"notes.h264", {}, "\0\0\1 not a stream"},
                     {"empty.h265", {}, {}},     {"clip.mp4", {}, {}}};
        for (const auto& f : files) {
            QFile out(folder.filePath(QLatin1String(f.name)));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(f.from.isEmpty() ? f.bytes : ReadFileBytes(f.from));
        }
        Converter mp4;
        QVERIFY(mp4.WriteH264File(QFile::encodeName(stream).constData(),
                                  QString(folder.filePath(QStringLiteral("real.mp4")))));
        QMimeData both;
        both.setUrls({QUrl::fromLocalFile(folder.path()), QUrl::fromLocalFile(stream)});
        QVERIFY(drop(&w, both));
        QCOMPARE(w.Inputs(), Native({stream, folder.filePath(QStringLiteral("seg1.bin")),
                                     folder.filePath(QStringLiteral("seg2.h264")),
                                     folder.filePath(QStringLiteral("seg10.h264"))}));
        QCOMPARE(path->text(), QStringLiteral("4 files"));
        // Screen readers see one row per input, with its state.
        QAccessibleInterface* list =
            QAccessible::queryAccessibleInterface(Child<QListView>(&w, "listInputs"));
        QCOMPARE(list->childCount(), 4);
        QCOMPARE(list->child(3)->role(), QAccessible::ListItem);
        QCOMPARE(list->child(3)->text(QAccessible::Name), QStringLiteral("seg10.h264: waiting"));
    }

    // The files the program is started with (tovanmuxer FILE..., the desktop entry's %F).
    void commandLine() {
        const QStringList args = {QStringLiteral("tovanmuxer"),
                                  QStringLiteral("a.h264"),
                                  QStringLiteral("../up/b.h265"),
                                  QStringLiteral("/abs/c.hevc"),
                                  QStringLiteral("file:///x/c%20d.h264"),
                                  QStringLiteral("--unknown"),
                                  QString(),
                                  QStringLiteral("--"),
                                  QStringLiteral("-dash.h264")};
        QCOMPARE(InputArguments(args, QStringLiteral("/work/in")),
                 QStringList({QStringLiteral("/work/in/a.h264"), QStringLiteral("/work/up/b.h265"),
                              QStringLiteral("/abs/c.hevc"), QStringLiteral("/x/c d.h264"),
                              QStringLiteral("/work/in/-dash.h264")}));
        QVERIFY(InputArguments({QStringLiteral("tovanmuxer")}, QStringLiteral("/")).isEmpty());
    }

    // Three inputs, the middle one not a stream: each of the others gets its MP4, the bad one
    // its reason in the list and the log, and one warning comes at the end.
    void queueOfThree() {
        QTemporaryDir inDir, outDir;
        const QString a = inDir.filePath(QStringLiteral("a.h264"));
        const QString bad = inDir.filePath(QStringLiteral("b.h264"));
        const QString c = inDir.filePath(QStringLiteral("c.hevc"));
        QVERIFY(QFile::copy(FindTestStream(QStringLiteral("baseline_320x240.h264")).file, a));
        QVERIFY(QFile::copy(FindTestStream(QStringLiteral("nobframes_320x240.hevc")).file, c));
        QFile b(bad);
        QVERIFY(b.open(QIODevice::WriteOnly) && b.write("a text, not a stream\n") > 0);
        b.close();
        Tovanmuxer w;
        w.show();
        SelectInputs(&w, {a, bad, c});
        QCOMPARE(w.Inputs(), Native({a, bad, c}));
        QCOMPARE(Child<QLineEdit>(&w, "edtFilePath")->text(), QStringLiteral("3 files"));
        TypeDir(&w, outDir.path());
        BoxSeen seen;
        AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen.text, QStringLiteral("Convert failed, please rewrite the operation!"));
        QCOMPARE(seen.informative,
                 QStringLiteral("1 of 3 files could not be converted; the list and the log say "
                                "why."));
        const QStringList made = FilesIn(outDir.path());
        QCOMPARE(made.size(), 2);
        const QString outA = outDir.filePath(made.filter(QStringLiteral("-a.mp4")).value(0));
        const QString outC = outDir.filePath(made.filter(QStringLiteral("-c.mp4")).value(0));
        QCOMPARE(DecodePictureHashes(outA), DecodePictureHashes(a));
        QCOMPARE(DecodePictureHashes(outC), DecodePictureHashes(c));
        const QStringList rows = Rows(&w);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], QStringLiteral("a.h264: done: ") + QFileInfo(outA).fileName());
        QVERIFY2(rows[1].startsWith(QStringLiteral("b.h264: failed: ")) &&
                     rows[1].contains(QStringLiteral("H.264 or H.265")),
                 qPrintable(rows[1]));
        QCOMPARE(rows[2], QStringLiteral("c.hevc: done: ") + QFileInfo(outC).fileName());
        auto* log = Child<QTextBrowser>(&w, "textLog");
        const QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0].contains(QStringLiteral("] a.h264: 30 pictures, 1.200 s at 25.000 fps, "
                                                  "320x240 -> ") +
                                   QDir::toNativeSeparators(outA)),
                 qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(QStringLiteral("] ") + rows[1]), qPrintable(lines[1]));
        QVERIFY2(lines[2].contains(QStringLiteral("] c.hevc: ")), qPrintable(lines[2]));
        // The output path is a link that opens its folder.
        UrlCatcher desktop;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "Open");
        QTextCursor at = log->document()->find(QFileInfo(outA).fileName());
        QVERIFY(!at.isNull());
        at.setPosition(at.selectionStart() + 2);
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(at).center());
        // Screen readers get the text, and the links as its children, with an action each.
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(log);
        QAccessibleTextInterface* text = reader->textInterface();
        QVERIFY(text);
        QCOMPARE(text->text(0, text->characterCount()), log->toPlainText());
        QCOMPARE(reader->childCount(), 2);
        QAccessibleInterface* link = reader->child(1);
        QCOMPARE(link->role(), QAccessible::Link);
        QCOMPARE(link->text(QAccessible::Name), QDir::toNativeSeparators(outC));
        QCOMPARE(reader->indexOfChild(link), 1);
        QCOMPARE(link->parent(), reader);
        QVERIFY(reader->rect().contains(link->rect().center()));
        link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(desktop.urls, QList<QUrl>(2, QUrl::fromLocalFile(outDir.path())));
    }

    // Cancel during the second of three: the first output stays, the rest are not converted and
    // leave nothing. Joined, each row shows its own part while it is read, and nothing is
    // written.
    void cancelInTheMiddle_data() {
        QTest::addColumn<bool>("join");
        QTest::newRow("each") << false;
        QTest::newRow("joined") << true;
    }
    void cancelInTheMiddle() {
        QFETCH(bool, join);
        const QString longInput = LongStream(tmp);
        QVERIFY(!longInput.isEmpty());
        const QString first = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        const QString last = FindTestStream(QStringLiteral("aud_320x240.h264")).file;
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        for (const QString& input : {first, longInput, last}) w.AddInputs({input});  // as given
        Child<QCheckBox>(&w, "chkJoin")->setChecked(join);
        TypeDir(&w, outDir.path());
        QString label;
        QStringList rowsDuring;
        std::function<void(QProgressDialog*)> cancelSecond = [&](QProgressDialog* d) {
            const QStringList rows = Rows(&w);
            if (join ? !rows[1].startsWith(QStringLiteral("long.h264: converting"))
                     : !d->labelText().contains(QStringLiteral("(2 of 3)")))
                return void(WhenModal<QProgressDialog>(cancelSecond));
            label = d->labelText();
            rowsDuring = rows;
            d->cancel();
        };
        WhenModal<QProgressDialog>(cancelSecond);
        BoxSeen seen;
        QTimer* watch = AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        delete watch;
        QVERIFY(!seen.shown);
        const QStringList made = FilesIn(outDir.path());
        const QStringList log =
            Child<QTextBrowser>(&w, "textLog")->toPlainText().split(QLatin1Char('\n'));
        if (join) {
            QCOMPARE(label, QStringLiteral("Converting baseline_320x240.h264 and 2 more, joined"));
            QCOMPARE(rowsDuring[0], QStringLiteral("baseline_320x240.h264: converting, 100 %"));
            QVERIFY2(QRegularExpression(QStringLiteral("^long.h264: converting, [0-9]{1,2} %$"))
                         .match(rowsDuring[1])
                         .hasMatch(),
                     qPrintable(rowsDuring[1]));
            QCOMPARE(rowsDuring[2], QStringLiteral("aud_320x240.h264: waiting"));
            QCOMPARE(made, QStringList());
            QCOMPARE(Rows(&w), QStringList({QStringLiteral("baseline_320x240.h264: cancelled"),
                                            QStringLiteral("long.h264: cancelled"),
                                            QStringLiteral("aud_320x240.h264: cancelled")}));
            QCOMPARE(log.size(), 2);
            QVERIFY2(log[0].endsWith(
                         QStringLiteral("] baseline_320x240.h264 and 2 more, joined: cancelled")),
                     qPrintable(log[0]));
            return;
        }
        QCOMPARE(label, QStringLiteral("Converting long.h264 (2 of 3)"));
        QCOMPARE(made.size(), 1);
        QVERIFY(made[0].endsWith(QLatin1String("-baseline_320x240.mp4")));
        QCOMPARE(Rows(&w), QStringList({QStringLiteral("baseline_320x240.h264: done: ") + made[0],
                                        QStringLiteral("long.h264: cancelled"),
                                        QStringLiteral("aud_320x240.h264: cancelled")}));
        QCOMPARE(log.size(), 3);
        QVERIFY2(log[1].endsWith(QStringLiteral("] long.h264: cancelled; 1 more not converted")),
                 qPrintable(log[1]));
    }

    // "Join into one file": the segments as the dialog hands them over, listed in number order;
    // the user takes one off and moves others, and the join follows the list, into one MP4 named
    // after the first. A bad segment fails the whole and leaves nothing.
    void joinChoice() {
        QTemporaryDir inDir, outDir;
        const QString streams[] = {FindTestStream(QStringLiteral("baseline_320x240.h264")).file,
                                   FindTestStream(QStringLiteral("aud_320x240.h264")).file,
                                   FindTestStream(QStringLiteral("weightp_320x240.h264")).file};
        QStringList segments;
        int k = 0;
        for (const char* name : {"seg1.h264", "seg2.h264", "seg10.h264"}) {
            segments << inDir.filePath(QLatin1String(name));
            QVERIFY(QFile::copy(streams[k++], segments.last()));
        }
        const QString notes = inDir.filePath(QStringLiteral("notes.h264"));
        QFile text(notes);
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a stream\n") > 0);
        text.close();
        Tovanmuxer w;
        w.show();
        SelectInputs(&w, {segments[2], segments[0], segments[1]});
        QCOMPARE(Names(&w), QStringList({QStringLiteral("seg1.h264"), QStringLiteral("seg2.h264"),
                                         QStringLiteral("seg10.h264")}));
        SelectInputs(&w, {notes});  // added to the list
        QCOMPARE(w.Inputs().size(), 4);
        auto* list = Child<QListView>(&w, "listInputs");
        auto* up = Child<QPushButton>(&w, "btnUp");
        auto* down = Child<QPushButton>(&w, "btnDown");
        auto* remove = Child<QPushButton>(&w, "btnRemove");
        QVERIFY(!up->isEnabled() && !down->isEnabled() && !remove->isEnabled());
        // The text file off with Delete; seg10, selected then, up by Alt+Up and the button, and
        // down again by the other.
        w.activateWindow();  // for the keys, after the dialog
        QVERIFY(QTest::qWaitForWindowActive(&w));
        list->setFocus();
        list->setCurrentIndex(list->model()->index(3, 0));
        QVERIFY(up->isEnabled() && !down->isEnabled() && remove->isEnabled());
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(w.Inputs(), Native(segments));
        QTest::keyClick(list, Qt::Key_Up, Qt::AltModifier);
        up->click();
        QCOMPARE(Names(&w).first(), QStringLiteral("seg10.h264"));
        QVERIFY(!up->isEnabled());
        down->click();
        QCOMPARE(w.Inputs(), Native({segments[0], segments[2], segments[1]}));

        Child<QCheckBox>(&w, "chkJoin")->setChecked(true);
        TypeDir(&w, outDir.path());
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        start->click();
        const QStringList made = FilesIn(outDir.path());
        QCOMPARE(made.size(), 1);
        QVERIFY(made[0].endsWith(QLatin1String("-seg1.mp4")));
        QVector<QByteArray> pictures[3];
        for (int i = 0; i < 3; ++i) pictures[i] = DecodePictureHashes(streams[i]);
        QCOMPARE(DecodePictureHashes(outDir.filePath(made[0])),
                 pictures[0] + pictures[2] + pictures[1]);
        for (const QString& row : Rows(&w))
            QVERIFY2(row.endsWith(QStringLiteral(": done: ") + made[0]), qPrintable(row));
        const QString log = Child<QTextBrowser>(&w, "textLog")->toPlainText();
        QVERIFY2(
            log.contains(QStringLiteral("] seg1.h264 and 2 more, joined: %1 pictures")
                             .arg(pictures[0].size() + pictures[1].size() + pictures[2].size())),
            qPrintable(log));

        // Listed again, of the folder, in number order.
        Child<QPushButton>(&w, "btnClear")->click();
        w.AddInputs({inDir.path()});
        QCOMPARE(w.Inputs(), Native(segments));
        // The middle segment of another codec: nothing is written, every row says why.
        QVERIFY(QFile::remove(segments[1]));
        QVERIFY(QFile::copy(FindTestStream(QStringLiteral("nobframes_320x240.hevc")).file,
                            segments[1]));
        BoxSeen seen;
        AnswerBox(&seen);
        start->click();
        QVERIFY(seen.shown);
        QVERIFY2(seen.informative.contains(QStringLiteral("seg2.h264")),
                 qPrintable(seen.informative));
        QCOMPARE(FilesIn(outDir.path()).size(), 1);
        for (const QString& row : Rows(&w))
            QVERIFY2(row.contains(QStringLiteral(": failed: ")), qPrintable(row));
    }

    // A timestamp file beside an input, of the same base name, known by its first line whatever
    // its extension, gives the pictures their times; the log says it was used, and a stream
    // without a rate of its own needs no question then. A text of that name is passed over.
    void timestampFileBeside() {
        const TestStream s = FindTestStream(QStringLiteral("notiming_320x240.h264"));
        QTemporaryDir inDir, outDir;
        const QString input = inDir.filePath(QStringLiteral("cam.h264"));
        QVERIFY(QFile::copy(s.file, input));
        QFile notes(inDir.filePath(QStringLiteral("cam.a-notes")));
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("front door camera\n") > 0);
        notes.close();
        QFile times(inDir.filePath(QStringLiteral("cam.tc")));
        QVERIFY(times.open(QIODevice::WriteOnly));
        times.write("# timestamp format v2\n");
        // Half the pictures 40 ms apart, the rest 80 ms.
        for (int i = 0, t = 0; i < s.Int("frames"); ++i, t += i <= s.Int("frames") / 2 ? 40 : 80)
            times.write(QByteArray::number(t) + '\n');
        times.close();
        Tovanmuxer w;
        w.show();
        w.AddInputs({input});
        TypeDir(&w, outDir.path());
        bool asked = false;
        QTimer* question = WhenModal<QInputDialog>([&](QInputDialog* d) {
            asked = true;
            d->reject();
        });
        Child<QPushButton>(&w, "btnStartDownload")->click();
        delete question;
        QVERIFY(!asked);
        const QStringList made = FilesIn(outDir.path());
        QCOMPARE(made.size(), 1);
        const Mp4Info info = ReadMp4Info(outDir.filePath(made[0]));
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.sttsDeltas.size(), s.Int("frames"));
        QCOMPARE(uint64_t(info.sttsDeltas.first()) * 1000 / info.trackTimeScale, 40u);
        QCOMPARE(uint64_t(info.sttsDeltas[info.sttsDeltas.size() - 2]) * 1000 / info.trackTimeScale,
                 80u);
        QCOMPARE(DecodePictureHashes(outDir.filePath(made[0])), DecodePictureHashes(input));
        const QString log = Child<QTextBrowser>(&w, "textLog")->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("times from ") +
                              QDir::toNativeSeparators(times.fileName())) &&
                     log.contains(QStringLiteral("variable frame rate")),
                 qPrintable(log));
    }

    // A sound file beside an input, of the same base name, goes in as its sound track: a text
    // named as sound is passed over, a WAV told by its content is taken, and the log says so.
    void soundFileBeside() {
        const TestStream s = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        QTemporaryDir inDir, outDir;
        const QString input = inDir.filePath(QStringLiteral("cam.h264"));
        QVERIFY(QFile::copy(s.file, input));
        QFile notes(inDir.filePath(QStringLiteral("cam.mp3")));
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not sound at all\n") > 0);
        notes.close();
        const QString sound = inDir.filePath(QStringLiteral("cam.wav"));
        QVERIFY(QFile::copy(QStringLiteral(TOVANMUXER_SOUND_DIR "/wav_16k_mono_s16.wav"), sound));
        Tovanmuxer w;
        w.show();
        w.AddInputs({input});
        QCOMPARE(Rows(&w), QStringList{QStringLiteral("cam.h264 with sound cam.wav: waiting")});
        TypeDir(&w, outDir.path());
        Child<QPushButton>(&w, "btnStartDownload")->click();
        const QStringList made = FilesIn(outDir.path());
        QCOMPARE(made.size(), 1);
        const QString output = outDir.filePath(made[0]);
        QCOMPARE(DecodePictureHashes(output), DecodePictureHashes(input));
        const DecodedAudio got = DecodeAudioFile(output), want = DecodeAudioFile(sound);
        QVERIFY2(got.ok && want.ok, qPrintable(got.error + want.error));
        QVERIFY(got.Md5() == want.Md5());
        const QString log = Child<QTextBrowser>(&w, "textLog")->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("sound from ") + QDir::toNativeSeparators(sound)),
                 qPrintable(log));
    }

    void typedFolder_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("taken");  // "~" stands for the home directory
        QTest::newRow("home") << "~"
                              << "~";
        QTest::newRow("home/") << "~/"
                               << "~";
        QTest::newRow("in home") << "~/Videos"
                                 << "~/Videos";
        QTest::newRow("spaces around") << "  /tmp/out3 \t"
                                       << "/tmp/out3";
        QTest::newRow("relative") << "Videos/cam"
                                  << "~/Videos/cam";
        QTest::newRow("dot-dot") << "./a/../b/"
                                 << "~/b";
        QTest::newRow("another user's") << "~bob"
                                        << "~/~bob";
        QTest::newRow("absolute") << "/a//b/"
                                  << "/a/b";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("blank") << "   "
                               << "";
    }
    void typedFolder() {
        QFETCH(QString, typed);
        QFETCH(QString, taken);
        if (taken.startsWith(QLatin1Char('~'))) taken = QDir::homePath() + taken.mid(1);
        QCOMPARE(TypedFolder(typed), taken);
    }

    // The typed folder in use: "~" is the home directory; a missing one is named as typed and as
    // understood, in a box that wraps the long path.
    void typedFolderInTheWindow() {
        const QByteArray home = qgetenv("HOME");
        QTemporaryDir user;
        qputenv("HOME", QFile::encodeName(user.path()));
        Tovanmuxer w;
        w.show();
        w.AddInputs({FindTestStream(QStringLiteral("baseline_320x240.h264")).file});
        TypeDir(&w, QStringLiteral(" ~ "));
        auto* start = Child<QPushButton>(&w, "btnStartDownload");
        start->click();
        const QStringList made = FilesIn(user.path());
        const QString typed = QStringLiteral("not/there/") + QString(200, QLatin1Char('n'));
        TypeDir(&w, typed + QLatin1Char(' '));
        BoxSeen seen;
        AnswerBox(&seen);
        start->click();
        qputenv("HOME", home);
        QCOMPARE(made.size(), 1);
        QCOMPARE(seen.informative, QStringLiteral("Cannot save into \"%1\" (%2): No such file or "
                                                  "directory")
                                       .arg(typed, user.filePath(typed)));
        QCOMPARE(seen.informativeRead, seen.informative);  // without the breaks
        QVERIFY2(seen.size.width() <= w.screen()->geometry().width(),
                 qPrintable(QString::number(seen.size.width())));
    }

    void longName_data() {
        QTest::addColumn<QString>("inputName");  // the part of the output name after the stamp
        QTest::newRow("fits") << QStringLiteral("clip.mp4");
        QTest::newRow("231 bytes, fits") << QString(227, QLatin1Char('a')) + QStringLiteral(".mp4");
        QTest::newRow("241 ASCII") << QString(241, QLatin1Char('x')) + QStringLiteral(".mp4");
        QTest::newRow("two-byte") << QString(130, QChar(0xE9)) + QStringLiteral(".mp4");
        QTest::newRow("three-byte") << QString(90, QChar(0x6F22)) + QStringLiteral(".mp4");
        QTest::newRow("four-byte")
            << QString::fromUcs4(U"\U0001F3A5").repeated(70) + QStringLiteral(".mp4");
        QTest::newRow("mixed") << QStringLiteral("a") +
                                      QString::fromUcs4(U"\U0001F3A5\u00E9").repeated(50) +
                                      QStringLiteral(".mp4");
    }
    void longName() {
        // A name past NAME_MAX loses the end of its input-name part, never inside a character;
        // the stamp and .mp4 stay, and a name that fits is left alone.
        QFETCH(QString, inputName);
        const QString stamp = QStringLiteral("2024-03-05-19.08.09-");
        const QString fitted = FitFileName(stamp + inputName, 255);
        const QByteArray bytes = QFile::encodeName(fitted);
        if (QFile::encodeName(stamp + inputName).size() <= 255) {
            QCOMPARE(fitted, stamp + inputName);
            return;
        }
        QVERIFY2(bytes.size() <= 251 && bytes.size() >= 247,
                 qPrintable(QString::number(bytes.size())));
        QVERIFY(fitted.startsWith(stamp) && fitted.endsWith(QLatin1String(".mp4")));
        QCOMPARE(QString::fromUtf8(bytes), fitted);
        QVERIFY(inputName.startsWith(fitted.mid(stamp.size(), fitted.size() - stamp.size() - 4)));
        for (int i = 0; i < fitted.size(); ++i)
            QVERIFY(!fitted[i].isSurrogate() ||
                    (fitted[i].isHighSurrogate()
                         ? i + 1 < fitted.size() && fitted[i + 1].isLowSurrogate()
                         : i > 0 && fitted[i - 1].isHighSurrogate()));
    }

    // A 245-byte input name converts: its output name is shortened to fit.
    void longNameConverts() {
        const QString input =
            tmp.filePath(QString(240, QLatin1Char('x')) + QStringLiteral(".h264"));
        QVERIFY(QFile::copy(FindTestStream(QStringLiteral("baseline_320x240.h264")).file, input));
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();
        SelectInput(&w, input);
        TypeDir(&w, outDir.path());
        BoxSeen seen;
        QTimer* watch = AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        delete watch;
        QVERIFY2(!seen.shown, qPrintable(seen.informative));
        const QStringList made = FilesIn(outDir.path());
        QCOMPARE(made.size(), 1);
        QVERIFY(QFile::encodeName(made[0]).size() <= 255);
        QVERIFY(made[0].endsWith(QLatin1String("xxx.mp4")));
        QCOMPARE(DecodePictureHashes(outDir.filePath(made[0])), DecodePictureHashes(input));
    }

    void signalRemovesPart_data() {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void signalRemovesPart() {
        // The window ended by a signal mid-conversion leaves no unfinished file behind.
        QFETCH(int, sig);
        const QString input = LongStream(tmp);
        QVERIFY(!input.isEmpty());
        QTemporaryDir outDir;
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QString program = QCoreApplication::applicationFilePath();
        QStringList args = {QStringLiteral("--convert-in-child"), input, outDir.path()};
#ifdef TOVANMUXER_EMULATOR
        args.prepend(program);  // a cross build's test runs itself through the emulator
        program = QStringLiteral(TOVANMUXER_EMULATOR);
#endif
        child.start(program, args);
        QVERIFY(child.waitForStarted());
        const auto writing = [&] {
            const QFileInfoList parts = PartsIn(outDir.path());
            return !parts.isEmpty() && parts[0].size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(writing() || child.state() == QProcess::NotRunning, 60000);
        QVERIFY2(child.state() == QProcess::Running, "the conversion ended before the signal");
        QCOMPARE(::kill(pid_t(child.processId()), sig), 0);
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(FilesIn(outDir.path()), QStringList());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (argc == 4 && qstrcmp(argv[1], "--convert-in-child") == 0)
        return ConvertInChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    TestWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_window.moc"
