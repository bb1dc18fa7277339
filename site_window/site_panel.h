// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The site panel: a window of its own, shown once Connect has ended for a unit with a serial
// number (and from the main window's Site menu). It says where the unit is deployed and where
// that knowledge comes from, the units beside it, and records a deployment (a swap, when
// another unit is recorded at the chosen site: offered with its times filled in, recorded once
// the operator presses its button) and a field note. What it shows, offers and refuses is
// worked out in site_panel_model.h; what it reads and records goes through the VisitService it
// is handed. It never holds the main window: it is not modal, it is shown without taking the
// focus after Connect, and the server is asked on a thread of the service's (learn()).
// Closing it (Escape) hides it: what was recorded is recorded, a note not yet recorded stays
// in its box. UI thread.

#include "site_window/visit_service.h"

#include <QTimeZone>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;

namespace site_window {

class SitePanel : public QWidget {
    Q_OBJECT
public:
    explicit SitePanel(VisitService& service, QWidget* parent = nullptr);

    // Shows the panel for the unit `serial` (empty: none connected), read afresh from what the
    // laptop keeps (read again where another program changed it: VisitService::refreshKept),
    // and asks the server for newer facts. `activate`: brought to the front with
    // the focus (the menu); otherwise shown without taking it from the window in front. The
    // first time it is shown it goes beside `owner` (placeBeside); after that where the
    // operator left it.
    void showFor(const QString& serial, bool activate, const QWidget* owner = nullptr);
    const QString& unit() const { return m_unit; }

    // Seams for tests: this laptop's clock (ms since 1970 UTC) and the zone times are shown in.
    std::function<std::int64_t()> Now;
    QTimeZone Zone;

    QLabel* LabelWhere = nullptr;
    QLabel* LabelSource = nullptr;
    QLabel* LabelBeside = nullptr;
    QGroupBox* DeployBox = nullptr;
    QComboBox* ComboSite = nullptr;
    QDateTimeEdit* EditDeployTime = nullptr;
    QPushButton* ButtonNow = nullptr;
    QLabel* LabelOffer = nullptr;
    std::vector<QCheckBox*> RemovalBoxes; // one per unit a swap removes
    QPushButton* ButtonDeploy = nullptr;
    QGroupBox* NoteBox = nullptr;
    QComboBox* ComboCategory = nullptr;
    QComboBox* ComboAbout = nullptr;
    QPlainTextEdit* EditNote = nullptr;
    QPushButton* ButtonNote = nullptr;
    // What was recorded, or why not.
    QLabel* LabelMessage = nullptr;
    QPushButton* ButtonClose = nullptr;

    // The deployment chosen, at the time chosen: the swap offered, recorded as it is shown.
    void recordDeployment();
    void recordNote();
    // The offer for the site and time chosen, as shown (none while no site is chosen).
    const std::optional<fleet::SwapOffer>& offer() const { return m_offer; }
    bool messageIsRefusal() const { return m_refused; }

signals:
    // The panel has been filled for its unit (after showFor, a record, the server's answer).
    void filled();
    // The server's answer has come and is shown.
    void learnt();

protected:
    // Escape closes the panel (hides it), as it closes a dialog.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void build();
    QGroupBox* buildDeployBox();
    QGroupBox* buildNoteBox();
    void refresh();
    void askServer();
    void updateOffer();
    void updateAbout();
    void setDeployTime(std::int64_t ms);
    std::int64_t deployTime() const;
    QString chosenSite() const;
    void say(const QString& text, bool refusal);

    VisitService& m_service;
    QString m_unit;
    std::vector<fleet::Site> m_sites;
    std::optional<fleet::UnitWhereabouts> m_where;
    std::optional<fleet::SwapOffer> m_offer;
    QString m_serverProblem; // the last ask's failure, shown under the source
    QString m_keptProblem;   // what is kept not read again at the last showFor
    QVBoxLayout* m_removalLayout = nullptr;
    bool m_learning = false;
    bool m_refused = false;
    bool m_filling = false;
    bool m_placed = false;
};

} // namespace site_window
