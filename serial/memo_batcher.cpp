#include "serial/memo_batcher.h"

#include "platform/exception_guard.h"

#include <QPlainTextEdit>
#include <QTextCursor>

MemoBatcher::MemoBatcher(QPlainTextEdit* memo, int intervalMs, QObject* parent)
    : QObject(parent), m_memo(memo) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, platform::guarded([this] { flush(); }));
}

MemoBatcher::~MemoBatcher() = default;

void MemoBatcher::append(std::string_view bytes) {
    if (bytes.empty())
        return;
    m_pending.append(bytes);
    // The first chunk of a batch starts the clock; later ones ride along.
    if (!m_timer.isActive())
        m_timer.start();
}

QString MemoBatcher::displayText(std::string_view bytes, bool& afterCr) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char c : bytes) {
        if (c == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = c == '\r';
        text.append(afterCr ? QChar(u'\n')
                            : QChar(static_cast<char16_t>(static_cast<unsigned char>(c))));
    }
    return text;
}

void MemoBatcher::flush() {
    m_timer.stop();
    if (m_pending.empty())
        return;
    if (!m_memo) {
        m_pending.clear();
        return;
    }
    const QString text = displayText(m_pending, m_afterCr);
    m_pending.clear();
    m_pending.shrink_to_fit();

    // The caret goes to the end and the text goes in there, so the newest text is in view.
    QTextCursor cursor(m_memo->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    m_memo->setTextCursor(cursor);
    m_memo->ensureCursorVisible();
}
