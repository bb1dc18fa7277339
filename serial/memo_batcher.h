#pragma once
// Appends received bytes at the end of a text area in batches. A fast unit delivers many
// small chunks; inserting each into the document separately is what makes a terminal eat
// the CPU, so chunks are collected and inserted together a few times a second (and at once
// by flush(), e.g. before the text is needed).
//
// Bytes are shown as Latin-1, one character per byte. A CR LF pair renders as one line break
// (as it did in the original text areas), a lone CR or LF as one break each; no byte is
// added. UI thread only.

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <string>
#include <string_view>

class QPlainTextEdit;

class MemoBatcher : public QObject {
public:
    explicit MemoBatcher(QPlainTextEdit* memo, int intervalMs = 100, QObject* parent = nullptr);
    ~MemoBatcher() override;

    void append(std::string_view bytes);
    // Inserts what is pending now.
    void flush();
    std::size_t pending() const { return m_pending.size(); }

    // The text a byte string shows as; `afterCr` carries a CR at the end of one batch over to
    // the next, so a pair split between batches still renders as one break.
    static QString displayText(std::string_view bytes, bool& afterCr);

private:
    QPointer<QPlainTextEdit> m_memo;
    std::string m_pending;
    bool m_afterCr = false;
    QTimer m_timer;
};
