// The window's log: read-only text whose output paths are links. Screen readers and desktop test
// tools see the text and, as its children, each link with an action that follows it, as the
// mouse and the keyboard (Tab, Enter) do.
#pragma once

#include <QTextBrowser>
#include <QUrl>
#include <QVector>

class LogView : public QTextBrowser {
    Q_OBJECT

public:
    struct Link {
        int start = 0, end = 0;  // character positions in the text
        QString text;
        QUrl url;
    };

    explicit LogView(QWidget* parent = nullptr);

    // The links in the text, in order.
    QVector<Link> Links() const;
    // Follows the link as a click on it does.
    void Follow(const QUrl& url) { Q_EMIT anchorClicked(url); }
};
