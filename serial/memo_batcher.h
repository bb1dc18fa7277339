#pragma once
// Appends received bytes at the end of a byte text view in batches. A fast unit delivers
// many small chunks; they are collected and handed over together a few times a second (and
// at once by flush(), e.g. before the text is needed). With an interval of 0 each chunk goes
// to the view at once, which then limits its own repaints.
//
// Bytes are shown as Latin-1, one character per byte. A CR LF pair renders as one line break
// (as it did in the original text areas), a lone CR or LF as one break each; no byte is
// added (displayText is that rule as text). UI thread only.

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <string>
#include <string_view>

class ByteTextView;

class MemoBatcher : public QObject {
public:
    explicit MemoBatcher(ByteTextView* memo, int intervalMs = 100, QObject* parent = nullptr);
    ~MemoBatcher() override;

    void append(std::string_view bytes);
    // Inserts what is pending now.
    void flush();
    std::size_t pending() const { return m_pending.size(); }

    // The text a byte string shows as; `afterCr` carries a CR at the end of one batch over to
    // the next, so a pair split between batches still renders as one break.
    static QString displayText(std::string_view bytes, bool& afterCr);

private:
    QPointer<ByteTextView> m_memo;
    std::string m_pending;
    QTimer m_timer;
};
