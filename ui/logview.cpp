#include "ui/logview.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QTextBlock>
#include <QTextCursor>
#include <map>

namespace {

// A link of the log, for assistive technology: its text, where it is, and an action that
// follows it.
class LinkAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    LinkAccessible(LogView* log, int start) : log(log), start(start) {}

    bool isValid() const override { return Find().end > 0; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return log ? log->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return log ? QAccessible::queryAccessibleInterface(log) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        const LogView::Link link = Find();
        if (t == QAccessible::Name) return link.text;
        if (t == QAccessible::Description) return LogView::tr("opens %1").arg(link.url.toString());
        return QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const LogView::Link link = Find();
        if (!log || link.end == 0) return QRect();
        QTextCursor from(log->document()), to(log->document());
        from.setPosition(link.start);
        to.setPosition(link.end);
        const QRect r = log->cursorRect(from).united(log->cursorRect(to));
        return QRect(log->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::Link; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.focusable = true;
        s.linked = true;
        s.readOnly = true;
        s.invisible = !log || !log->isVisible();
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                 : nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        const LogView::Link link = Find();
        if (name == pressAction() && log && link.end > 0) log->Follow(link.url);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    LogView::Link Find() const {
        if (log)
            for (const LogView::Link& link : log->Links())
                if (link.start == start) return link;
        return LogView::Link();
    }

    QPointer<LogView> log;
    int start;  // the link's first character: the log only grows at its end
};

// The log itself: read-only text, the links its children.
class LogAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LogAccessible(LogView* log) : QAccessibleWidget(log, QAccessible::EditableText) {}
    ~LogAccessible() override {
        for (const auto& entry : links) QAccessible::deleteAccessibleInterface(entry.second);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    int childCount() const override { return int(Log()->Links().size()); }
    QAccessibleInterface* child(int index) const override {
        const QVector<LogView::Link> all = Log()->Links();
        if (index < 0 || index >= all.size()) return nullptr;
        const int start = all[index].start;
        auto it = links.find(start);
        if (it == links.end())
            it = links
                     .emplace(start, QAccessible::registerAccessibleInterface(
                                         new LinkAccessible(Log(), start)))
                     .first;
        return QAccessible::accessibleInterface(it->second);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const QVector<LogView::Link> all = Log()->Links();
        for (int i = 0; i < all.size(); ++i) {
            const auto it = links.find(all[i].start);
            if (it != links.end() && QAccessible::accessibleInterface(it->second) == child)
                return i;
        }
        return -1;
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    void selection(int index, int* startOffset, int* endOffset) const override {
        const QTextCursor c = Log()->textCursor();
        *startOffset = *endOffset = 0;
        if (index == 0 && c.hasSelection()) {
            *startOffset = c.selectionStart();
            *endOffset = c.selectionEnd();
        }
    }
    int selectionCount() const override { return Log()->textCursor().hasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int) override {
        QTextCursor c = Log()->textCursor();
        c.clearSelection();
        Log()->setTextCursor(c);
    }
    void setSelection(int, int startOffset, int endOffset) override {
        QTextCursor c = Log()->textCursor();
        c.setPosition(Clamped(startOffset));
        c.setPosition(Clamped(endOffset), QTextCursor::KeepAnchor);
        Log()->setTextCursor(c);
    }
    int cursorPosition() const override { return Log()->textCursor().position(); }
    void setCursorPosition(int position) override {
        QTextCursor c = Log()->textCursor();
        c.setPosition(Clamped(position));
        Log()->setTextCursor(c);
    }
    QString text(int startOffset, int endOffset) const override {
        const QString all = Log()->toPlainText();
        if (endOffset < 0 || endOffset > all.size()) endOffset = int(all.size());
        if (startOffset < 0 || startOffset > endOffset) return QString();
        return all.mid(startOffset, endOffset - startOffset);
    }
    QString text(QAccessible::Text t) const override { return QAccessibleWidget::text(t); }
    int characterCount() const override { return int(Log()->toPlainText().size()); }
    QRect characterRect(int offset) const override {
        QTextCursor c(Log()->document());
        c.setPosition(Clamped(offset));
        QRect r = Log()->cursorRect(c);
        QTextCursor next = c;
        if (next.movePosition(QTextCursor::NextCharacter)) {
            const QRect n = Log()->cursorRect(next);
            if (n.top() == r.top() && n.left() > r.left()) r.setRight(n.left() - 1);
        }
        return QRect(Log()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        return Log()->cursorForPosition(Log()->viewport()->mapFromGlobal(point)).position();
    }
    void scrollToSubstring(int startIndex, int) override {
        QTextCursor c(Log()->document());
        c.setPosition(Clamped(startIndex));
        const QRect r = Log()->cursorRect(c);
        Log()->ensureCursorVisible();
        Log()->viewport()->update(r);
    }
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return QString();
    }

private:
    LogView* Log() const { return static_cast<LogView*>(widget()); }
    int Clamped(int position) const {
        return qBound(0, position, Log()->document()->characterCount() - 1);
    }

    mutable std::map<int, QAccessible::Id> links;  // by the link's first character
};

QAccessibleInterface* LogFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("LogView") && object && object->isWidgetType())
        return new LogAccessible(static_cast<LogView*>(object));
    return nullptr;
}

}  // namespace

LogView::LogView(QWidget* parent) : QTextBrowser(parent) {
    static const bool installed = (QAccessible::installFactory(LogFactory), true);
    Q_UNUSED(installed);
}

QVector<LogView::Link> LogView::Links() const {
    QVector<Link> links;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (!format.isAnchor() || format.anchorHref().isEmpty()) continue;
            const QUrl url(format.anchorHref());
            // One link may lie in several fragments.
            if (!links.isEmpty() && links.last().end == fragment.position() &&
                links.last().url == url) {
                links.last().end += fragment.length();
                links.last().text += fragment.text();
                continue;
            }
            links << Link{fragment.position(), fragment.position() + fragment.length(),
                          fragment.text(), url};
        }
    }
    return links;
}
