// The window: its widget tree, its slots, the real file dialogs and warning boxes, the output
// naming, the status log, and one whole conversion through the start button.

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QtTest>
#include <functional>

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

// Runs `act` on the first modal widget of type T to appear, from the event loop of whatever
// dialog the test is about to open.
template <typename T>
QTimer* WhenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (T* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
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
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;  // texts, without their mnemonics
    QMessageBox::StandardButtons standard;
    bool parentless = false;
    Qt::WindowFlags flags;
};

// Answers the next message box with its Yes button, noting what it showed.
QTimer* AnswerBox(BoxSeen* seen) {
    return WhenModal<QMessageBox>([seen](QMessageBox* box) {
        seen->shown = true;
        seen->text = box->text();
        seen->informative = box->informativeText();
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
        QCOMPARE(w.size(), QSize(600, 293));
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
        QCOMPARE(start->text(), QStringLiteral("StartDownload"));
        QCOMPARE(group->minimumSize(), QSize(0, 130));
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
                              {"btnSelect", "QPushButton", 0, 2, "Select"},
                              {"label_2", "QLabel", 1, 0, "Save downloaded files to"},
                              {"edtDownPath", "QLineEdit", 1, 1, nullptr},
                              {"btnBrowse", "QPushButton", 1, 2, "Browse"}};
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
    }

    void outputNaming() {
        QCOMPARE(OutputNameFor(QStringLiteral("clip.h264")), QStringLiteral("clip.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("clip.h26x")), QStringLiteral("clip.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("clip.H264")), QStringLiteral("clip.H264"));
        QCOMPARE(OutputNameFor(QStringLiteral("a.h264.h264")), QStringLiteral("a.mp4.mp4"));
        QCOMPARE(OutputNameFor(QStringLiteral("clip.264")), QStringLiteral("clip.264"));
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
        auto* log = Child<QTextBrowser>(&w, "textLog");
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/a.mp4"));
        w.ShowStatus(0, 0, 0, QStringLiteral("/tmp/b.mp4"));
        const QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);  // two lines, each ending in a line feed
        QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] /tmp/a\\.mp4$"))
                    .match(lines[0])
                    .hasMatch());
        QVERIFY(lines[1].endsWith(QStringLiteral("] /tmp/b.mp4")));
        QVERIFY(lines[2].isEmpty());
        w.ShowStatus(7, 1, 2, QStringLiteral("x"));  // other levels write nothing
        QCOMPARE(log->toPlainText().split(QLatin1Char('\n')).size(), 3);
        w.ShowStatus(1, 640, 360, QString());
        QVERIFY(log->toPlainText().contains(QStringLiteral(") Test Function: 640 * 360")));
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
        // Nothing chosen: warning 0, after the output path was composed.
        BoxSeen seen;
        AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, QStringLiteral("Please open file!"));
        // An empty directory field: warning 2, nothing else.
        Child<QLineEdit>(&w, "edtDownPath")->clear();
        BoxSeen seen2;
        AnswerBox(&seen2);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen2.text, QStringLiteral("The save file path cannot be empty!"));
        QVERIFY(debugLines.contains(QStringLiteral("## check download path str= ")));
        QVERIFY(DebugValue(QStringLiteral("## download file output_path=")).isNull());
    }

    void dialogsAndWholeConversion() {
        const TestStream s = TestStreams().value(0);
        QVERIFY(!s.file.isEmpty());
        // The input: a copy with a long, non-ASCII name in the temporary directory.
        const QString input = tmp.filePath(QStringLiteral("clip ünïcode ") +
                                           QString(80, QLatin1Char('x')) + QStringLiteral(".h264"));
        QVERIFY(QFile::copy(s.file, input));
        QTemporaryDir outDir;
        Tovanmuxer w;
        w.show();

        WhenModal<QFileDialog>([&](QFileDialog* d) {
            d->setDirectory(QFileInfo(input).absolutePath());
            d->findChild<QLineEdit*>()->setText(QFileInfo(input).fileName());
            QMetaObject::invokeMethod(d, "accept");
        });
        Child<QPushButton>(&w, "btnSelect")->click();
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
        QVERIFY(!QApplication::overrideCursor());
        const QVector<QByteArray> pictures = DecodePictureHashes(input);
        QVERIFY(!pictures.isEmpty());
        QCOMPARE(DecodePictureHashes(out), pictures);
        const QString log = Child<QTextBrowser>(&w, "textLog")->toPlainText();
        QVERIFY2(
            log.endsWith(QStringLiteral("] ") + QDir::toNativeSeparators(out) + QLatin1Char('\n')),
            qPrintable(log));

        // A failed conversion says so, with the engine's reason.
        QFile::resize(input, 0);
        BoxSeen seen;
        AnswerBox(&seen);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, QStringLiteral("Convert failed, please rewrite the operation!"));
        QVERIFY2(seen.informative.contains(QStringLiteral("sequence parameter set")),
                 qPrintable(seen.informative));
        QCOMPARE(QDir(outDir.path()).entryList(QDir::Files).size(), 1);

        // A cancelled directory dialog empties the directory: warning 2.
        WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        Child<QPushButton>(&w, "btnBrowse")->click();
        QVERIFY(Child<QLineEdit>(&w, "edtDownPath")->text().isEmpty());
        BoxSeen seen2;
        AnswerBox(&seen2);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen2.text, QStringLiteral("The save file path cannot be empty!"));
        // Text typed into the field is not a directory: the conversion gets no output path and
        // says so.
        Child<QLineEdit>(&w, "edtDownPath")->setText(outDir.path());
        debugLines.clear();
        BoxSeen seen3;
        AnswerBox(&seen3);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen3.text, QStringLiteral("Convert failed, please rewrite the operation!"));
        QVERIFY2(!seen3.informative.isEmpty(), "no reason given");
        QCOMPARE(DebugValue(QStringLiteral("## download file output_path=")), QStringLiteral(" "));
        QCOMPARE(QDir(outDir.path()).entryList(QDir::Files).size(), 1);
        QVERIFY(!QApplication::overrideCursor());
        // A cancelled file dialog empties the input: warning 0.
        WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        Child<QPushButton>(&w, "btnSelect")->click();
        QVERIFY(Child<QLineEdit>(&w, "edtFilePath")->text().isEmpty());
        BoxSeen seen4;
        AnswerBox(&seen4);
        Child<QPushButton>(&w, "btnStartDownload")->click();
        QCOMPARE(seen4.text, QStringLiteral("Please open file!"));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
