// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the rooms below tell, shown by the main window: a download's progress, outcome and
// boxes on its status panel and status bar (download::DownloadReport), and the sharing's
// status line on the panel. UI thread only.

#include "download/download_report.h"

#include <QPointer>

#include <string>

class QStatusBar;
class StatusPanel;

// A download's report on the status panel of `bar`'s window, or on the bar itself where that
// window has no panel; its boxes stand over whichever window the caller made their owner
// (dialogs::BoxOwner). Both may go before the report does: what they no longer show is dropped.
class StatusReport : public download::DownloadReport {
public:
    explicit StatusReport(QStatusBar* bar);

    void begin() override;
    void progress(const QString& text) override;
    void note(const QString& text) override;
    void outcome(const QString& text) override;
    void error(const std::string& text) override;
    void warning(const std::string& text) override;
    void info(const std::string& text) override;
    bool confirm(const std::string& text, bool defaultYes) override;

private:
    QPointer<QStatusBar> m_bar;
    QPointer<StatusPanel> m_panel;
};

// The sharing started (app/sharing_start.h) with its status line on `panel`.
void StartSharing(const std::string& filesFolder, StatusPanel* panel);
