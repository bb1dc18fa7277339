#include "serial/memo_batcher.h"

#include "platform/exception_guard.h"
#include "serial/byte_text_view.h"

MemoBatcher::MemoBatcher(ByteTextView* memo, int intervalMs, QObject* parent)
    : QObject(parent), m_memo(memo) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, platform::guarded([this] { flush(); }));
}

MemoBatcher::~MemoBatcher() = default;

void MemoBatcher::append(std::string_view bytes) {
    if (bytes.empty())
        return;
    if (m_timer.interval() == 0 && m_pending.empty()) {
        // The view brings itself up to date a few times a second: no timer of ours is needed.
        if (m_memo)
            m_memo->appendBytes(bytes);
        return;
    }
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
    // The view keeps the bytes as they are and follows the end while it is in view.
    m_memo->appendBytes(m_pending);
    m_pending.clear();
    m_pending.shrink_to_fit();
}
