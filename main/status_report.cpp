// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/status_report.h"

#include "app/sharing_start.h"
#include "dialogs/Dialogs.h"
#include "widgets/status_panel.h"

#include <QStatusBar>

StatusReport::StatusReport(QStatusBar* bar)
    : m_bar(bar), m_panel(StatusPanel::of(bar ? bar->window() : nullptr)) {}

void StatusReport::begin() {
    if (m_panel)
        m_panel->beginDownload();
}

void StatusReport::progress(const QString& text) {
    if (m_panel)
        m_panel->setProgress(text);
}

void StatusReport::note(const QString& text) {
    if (m_bar)
        m_bar->showMessage(text);
}

void StatusReport::outcome(const QString& text) {
    if (m_panel)
        m_panel->setOutcome(text);
    else if (m_bar)
        m_bar->showMessage(text);
}

void StatusReport::error(const std::string& text) {
    DlgError(text);
}

void StatusReport::warning(const std::string& text) {
    DlgWarning(text);
}

void StatusReport::info(const std::string& text) {
    DlgInfo(text);
}

bool StatusReport::confirm(const std::string& text, bool defaultYes) {
    return DlgConfirm(text, defaultYes);
}

void StartSharing(const std::string& filesFolder, StatusPanel* panel) {
    StartSharing(filesFolder, panel, [panel](const QString& line) { panel->setSharing(line); });
}
