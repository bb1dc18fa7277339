// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's status panel, above its status bar: room of its own for what the operator
// must read whole, where the status bar's one line would cut it.
//   - the state line: what stands between the operator and the unit ("No serial port
//     found...", "No answer from the XRQ unit...");
//   - the progress lines of a running download: the data set arriving, sets and records so
//     far, bytes, rate, time since the start and since the last byte;
//   - the outcome line: how the last operation ended ("Data collected and placed in ...",
//     "Download interrupted ... kept in ...");
//   - the summary of the last download: the files written (name, records, size), with Open
//     Folder and Copy Path; it stays until the next download begins;
//   - the sharing line: whether the records are shared with the organisation's server
//     ("shared: up to date", "12 facts waiting: server not reachable since 10:42", "not
//     shared"), as the program's sharing words it.
// Each line wraps at the panel's width; a text longer than its lines is shortened in the
// middle (paths keep their ends), with the whole text in its tooltip and once in the run log.
// Menu hovers cannot erase any of it: status tips go to the status bar, never here.
//
// StatusTipGuard keeps a message the program put into the status bar when a menu hover's
// status tip passes over it. UI thread only.

#include <QFrame>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

class QMainWindow;
class QPushButton;
class QStatusBar;
class QTreeWidget;
class QUrl;

// A label that wraps anywhere it must, shows at most `maxLines` lines and shortens the rest.
class FitLabel : public QWidget {
    Q_OBJECT
public:
    explicit FitLabel(int maxLines, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return m_full; }
    // The lines as shown at the present width.
    const QStringList& shownLines() const { return m_lines; }
    bool isShortened() const { return m_shortened; }
    int maxLines() const { return m_maxLines; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The text did not fit its lines (once per text).
    void shortened(const QString& fullText);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void relayout();

    int m_maxLines;
    QString m_full;
    QStringList m_lines;
    bool m_shortened = false;
    bool m_toldShortened = false;
};

// Lays `text` out in lines of at most `width` pixels for `font`: wrapped at word boundaries
// where it can, anywhere where it must; at most `maxLines` lines, the last shortened in its
// middle when the rest does not fit. `shortened` tells whether anything was left out.
QStringList fitLines(const QString& text, const QFont& font, int width, int maxLines,
                     bool* shortened = nullptr);

class StatusPanel : public QFrame {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    void setState(const QString& text);
    void setProgress(const QString& text);
    void setOutcome(const QString& text);
    void setSharing(const QString& text);
    // The unit register's trouble while it retries ("waiting for the disk..."); empty when
    // it writes again.
    void setRegister(const QString& text);
    QString state() const { return m_state->fullText(); }
    QString sharing() const { return m_sharing->fullText(); }
    QString registerLine() const { return m_register->fullText(); }
    QString progress() const { return m_progress->fullText(); }
    QString outcome() const { return m_outcome->fullText(); }

    // A download begins: the last one's outcome and summary go.
    void beginDownload();
    // One file of the summary: its path (bytes as the file system has them), its records and
    // its size as the list shows them ("?" where the file could not be read back).
    struct SummaryRow {
        std::string path;
        QString records;
        QString size;
    };
    // The files a download wrote, under `folder`; shown until the next download.
    void showSummary(const QString& folder, const std::vector<SummaryRow>& files);
    void clearSummary();

    FitLabel* StateLine() const { return m_state; }
    FitLabel* ProgressLines() const { return m_progress; }
    FitLabel* OutcomeLine() const { return m_outcome; }
    FitLabel* SharingLine() const { return m_sharing; }
    QTreeWidget* SummaryList() const { return m_files; }
    QPushButton* OpenFolderButton() const { return m_openFolder; }
    QPushButton* CopyPathButton() const { return m_copyPath; }

    // How the folder is opened (the main window's OpenUrl); false when nothing could show it.
    std::function<bool(const QUrl&)> OpenUrl;
    // Logs a text that had to be shortened (the run log in the program).
    std::function<void(const QString&)> LogShortened;

    // The panel shown in `window`, or nullptr.
    static StatusPanel* of(const QWidget* window);

    // Copy Path: the selected file's full path, or the folder when no file is selected.
    QString pathToCopy() const;

signals:
    // The progress lines changed (a terminal beside the window may follow them).
    void progressShown(const QString& text);

private:
    void updateVisibility();

    FitLabel* m_state;
    FitLabel* m_progress;
    FitLabel* m_outcome;
    FitLabel* m_sharing;
    FitLabel* m_register;
    QWidget* m_summary;
    QTreeWidget* m_files;
    QPushButton* m_openFolder;
    QPushButton* m_copyPath;
    QString m_folder;
};

class StatusTipGuard : public QObject {
    Q_OBJECT
public:
    explicit StatusTipGuard(QMainWindow* window);
    // What the program last put into the status bar (and keeps there).
    const QString& kept() const { return m_kept; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QStatusBar> m_bar;
    QString m_kept;
    bool m_hovering = false;
};
