// SPDX-License-Identifier: GPL-3.0-or-later
#include "site_window/site_panel.h"

#include "site_window/site_panel_model.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace site_window {

namespace {

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    // A site's name or a unit's serial is another's text: never read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

const fleet::NoteCategory kCategories[] = {fleet::NoteCategory::Maintenance,
                                           fleet::NoteCategory::Calibration,
                                           fleet::NoteCategory::Damage, fleet::NoteCategory::Other};

} // namespace

SitePanel::SitePanel(VisitService& service, QWidget* parent)
    : QWidget(parent, Qt::Window), m_service(service) {
    Now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    Zone = QTimeZone::systemTimeZone();
    setObjectName(QStringLiteral("SitePanel"));
    setWindowTitle(QStringLiteral("Site"));
    build();
}

void SitePanel::build() {
    auto* layout = new QVBoxLayout(this);
    LabelWhere = plainLabel(this);
    QFont bold = LabelWhere->font();
    bold.setBold(true);
    LabelWhere->setFont(bold);
    LabelSource = plainLabel(this);
    LabelBeside = plainLabel(this);
    layout->addWidget(LabelWhere);
    layout->addWidget(LabelSource);
    layout->addWidget(LabelBeside);
    layout->addWidget(buildDeployBox());
    layout->addWidget(buildNoteBox());

    LabelMessage = plainLabel(this);
    LabelMessage->setObjectName(QStringLiteral("LabelMessage"));
    layout->addWidget(LabelMessage);
    layout->addStretch(1);
    auto* bottom = new QHBoxLayout();
    bottom->addStretch(1);
    ButtonClose = new QPushButton(QStringLiteral("Close"), this);
    bottom->addWidget(ButtonClose);
    layout->addLayout(bottom);
    connect(ButtonClose, &QPushButton::clicked, this, &QWidget::close);
    resize(520, 470);
}

QGroupBox* SitePanel::buildDeployBox() {
    DeployBox = new QGroupBox(QStringLiteral("Record where the unit is"), this);
    auto* deploy = new QFormLayout(DeployBox);
    ComboSite = new QComboBox(DeployBox);
    ComboSite->setObjectName(QStringLiteral("ComboSite"));
    // Chosen from the list or typed: the completer finds a code or a name among thousands.
    ComboSite->setEditable(true);
    ComboSite->setInsertPolicy(QComboBox::NoInsert);
    ComboSite->lineEdit()->setPlaceholderText(QStringLiteral("Choose or type the site..."));
    ComboSite->completer()->setFilterMode(Qt::MatchContains);
    ComboSite->completer()->setCaseSensitivity(Qt::CaseInsensitive);
    ComboSite->completer()->setCompletionMode(QCompleter::PopupCompletion);
    ComboSite->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboSite->setMinimumContentsLength(24);
    deploy->addRow(QStringLiteral("Site:"), ComboSite);
    auto* timeRow = new QHBoxLayout();
    EditDeployTime = new QDateTimeEdit(DeployBox);
    EditDeployTime->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    EditDeployTime->setCalendarPopup(true);
    ButtonNow = new QPushButton(QStringLiteral("Now"), DeployBox);
    timeRow->addWidget(EditDeployTime, 1);
    timeRow->addWidget(ButtonNow);
    deploy->addRow(QStringLiteral("Since:"), timeRow);
    LabelOffer = plainLabel(DeployBox);
    deploy->addRow(LabelOffer);
    m_removalLayout = new QVBoxLayout();
    deploy->addRow(m_removalLayout);
    ButtonDeploy = new QPushButton(QStringLiteral("Record Deployment"), DeployBox);
    ButtonDeploy->setEnabled(false);
    deploy->addRow(ButtonDeploy);

    connect(ComboSite, &QComboBox::editTextChanged, this, [this] {
        if (m_filling)
            return;
        updateOffer();
        updateAbout();
    });
    connect(EditDeployTime, &QDateTimeEdit::dateTimeChanged, this, [this] {
        if (!m_filling)
            updateOffer();
    });
    connect(ButtonNow, &QPushButton::clicked, this, [this] { setDeployTime(Now()); });
    connect(ButtonDeploy, &QPushButton::clicked, this, &SitePanel::recordDeployment);
    return DeployBox;
}

QGroupBox* SitePanel::buildNoteBox() {
    NoteBox = new QGroupBox(QStringLiteral("Record a field note"), this);
    auto* note = new QFormLayout(NoteBox);
    auto* noteRow = new QHBoxLayout();
    ComboCategory = new QComboBox(NoteBox);
    for (fleet::NoteCategory c : kCategories) {
        QString name = fleet::noteCategoryName(c);
        if (!name.isEmpty())
            name[0] = name[0].toUpper();
        ComboCategory->addItem(name, static_cast<int>(c));
    }
    ComboAbout = new QComboBox(NoteBox);
    noteRow->addWidget(ComboCategory);
    noteRow->addWidget(new QLabel(QStringLiteral("about"), NoteBox));
    noteRow->addWidget(ComboAbout, 1);
    note->addRow(QStringLiteral("Kind:"), noteRow);
    EditNote = new QPlainTextEdit(NoteBox);
    EditNote->setTabChangesFocus(true);
    EditNote->setFixedHeight(EditNote->fontMetrics().lineSpacing() * 4 + 12);
    note->addRow(QStringLiteral("Text:"), EditNote);
    ButtonNote = new QPushButton(QStringLiteral("Record Note"), NoteBox);
    note->addRow(ButtonNote);
    connect(ButtonNote, &QPushButton::clicked, this, &SitePanel::recordNote);
    return NoteBox;
}

void SitePanel::showFor(const QString& serial, bool activate, const QWidget* owner) {
    const bool otherUnit = serial != m_unit;
    m_unit = serial;
    if (otherUnit) {
        m_offer.reset();
        LabelMessage->clear();
        m_refused = false;
    }
    m_filling = true;
    setDeployTime(Now());
    m_filling = false;
    // What another program recorded or learnt since the last look (xrq-collect --site on this
    // laptop): read again before it is shown; the server is asked below, when the laptop shares.
    if (const platform::Result<bool> again = m_service.refreshKept(); !again)
        m_keptProblem = QStringLiteral("What this laptop keeps was not read again: %1")
                            .arg(QString::fromStdString(again.text()));
    else
        m_keptProblem.clear();
    refresh();
    setWindowTitle(m_unit.isEmpty() ? QStringLiteral("Site")
                                    : QStringLiteral("Site of %1").arg(m_unit));
    if (!isVisible()) {
        if (owner && !m_placed && owner->screen()) {
            // The owner's frame margins stand for this window's, whose frame is not known yet.
            const QRect frame = owner->frameGeometry();
            const QSize margins = frame.size() - owner->geometry().size();
            const QPoint at =
                placeBeside(frame, size() + margins, owner->screen()->availableGeometry());
            move(at);
        }
        m_placed = true;
        setAttribute(Qt::WA_ShowWithoutActivating, !activate);
        show();
    }
    if (activate) {
        raise();
        activateWindow();
    }
    askServer();
}

void SitePanel::refresh() {
    m_filling = true;
    const QString keptSite = chosenSite();
    const QString keptText = ComboSite->currentText();
    auto sites = m_service.sites();
    QString problem;
    if (sites.ok()) {
        m_sites = std::move(sites.value());
    } else {
        m_sites.clear();
        problem = QStringLiteral("The sites cannot be read: %1")
                      .arg(QString::fromStdString(sites.text()));
    }
    ComboSite->clear();
    const QStringList items = siteChoices(m_sites);
    for (std::size_t i = 0; i < m_sites.size(); ++i)
        ComboSite->addItem(items[static_cast<int>(i)], m_sites[i].code);

    m_where.reset();
    if (m_unit.isEmpty()) {
        LabelWhere->setText(QStringLiteral("No unit is connected: Connect to a unit first."));
        LabelSource->clear();
        LabelBeside->clear();
    } else if (auto where = m_service.whereIs(m_unit); where.ok()) {
        m_where = std::move(where.value());
        const WhereShown shown = whereShown(*m_where, Zone);
        LabelWhere->setText(shown.where);
        LabelSource->setText(m_serverProblem.isEmpty()
                                 ? shown.source
                                 : shown.source + QLatin1Char(' ') + m_serverProblem);
        LabelBeside->setText(shown.beside.join(QLatin1Char('\n')));
    } else {
        LabelWhere->setText(QStringLiteral("Where %1 is cannot be read: %2")
                                .arg(m_unit, QString::fromStdString(where.text())));
        LabelSource->clear();
        LabelBeside->clear();
    }
    if (!m_keptProblem.isEmpty())
        problem = problem.isEmpty() ? m_keptProblem : problem + QLatin1Char('\n') + m_keptProblem;
    if (!problem.isEmpty())
        LabelBeside->setText(LabelBeside->text().isEmpty()
                                 ? problem
                                 : LabelBeside->text() + QLatin1Char('\n') + problem);
    LabelBeside->setVisible(!LabelBeside->text().isEmpty());

    // The site chosen before stays chosen; else the one the unit is recorded at.
    QString select = keptSite;
    if (select.isEmpty() && m_where && m_where->deployment)
        select = m_where->deployment->site;
    ComboSite->setCurrentIndex(ComboSite->findData(select));
    if (ComboSite->currentIndex() < 0)
        ComboSite->setEditText(keptSite.isEmpty() ? QString() : keptText);
    DeployBox->setEnabled(!m_unit.isEmpty());
    m_filling = false;
    updateOffer();
    updateAbout();
    emit filled();
}

void SitePanel::askServer() {
    if (m_learning)
        return;
    m_learning = m_service.learn(this, [this](platform::Result<fleet::SiteFactsLearnt> answer) {
        m_learning = false;
        if (!answer.ok())
            m_serverProblem = QStringLiteral("The server was not read: %1")
                                  .arg(QString::fromStdString(answer.text()));
        else if (answer->shared && !answer->reached)
            m_serverProblem = QStringLiteral("The server was not reached: %1")
                                  .arg(QString::fromStdString(answer->why));
        else
            m_serverProblem.clear();
        refresh();
        emit learnt();
    });
}

// The editor shows this laptop's local time (its zone is the system's, whatever Zone says).
void SitePanel::setDeployTime(std::int64_t ms) {
    EditDeployTime->setDateTime(QDateTime::fromMSecsSinceEpoch(ms));
}

std::int64_t SitePanel::deployTime() const {
    return EditDeployTime->dateTime().toMSecsSinceEpoch();
}

QString SitePanel::chosenSite() const {
    return siteCodeTyped(ComboSite->currentText(), m_sites);
}

void SitePanel::updateOffer() {
    for (QCheckBox* box : RemovalBoxes)
        delete box;
    RemovalBoxes.clear();
    m_offer.reset();
    ButtonDeploy->setEnabled(false);
    ButtonDeploy->setText(QStringLiteral("Record Deployment"));
    const QString site = chosenSite();
    if (m_unit.isEmpty() || (site.isEmpty() && !m_sites.empty())) {
        LabelOffer->clear();
        return;
    }
    if (const QString why = checkSiteChosen(site, m_sites); !why.isEmpty()) {
        LabelOffer->setText(why);
        return;
    }
    const std::int64_t at = deployTime();
    if (const QString why = checkTime(at, Now(), Zone); !why.isEmpty()) {
        LabelOffer->setText(why);
        return;
    }
    auto offer = m_service.swapOffer(m_unit, site, at);
    if (!offer.ok()) {
        LabelOffer->setText(refusedText(offer.error()));
        return;
    }
    m_offer = std::move(offer.value());
    const OfferShown shown = offerShown(*m_offer, Zone);
    LabelOffer->setText(shown.text);
    for (const QString& line : shown.removed) {
        auto* box = new QCheckBox(line, DeployBox);
        box->setChecked(true);
        m_removalLayout->addWidget(box);
        RemovalBoxes.push_back(box);
    }
    if (!shown.button.isEmpty()) {
        ButtonDeploy->setText(shown.button);
        ButtonDeploy->setEnabled(true);
    }
}

void SitePanel::updateAbout() {
    const QString kept = ComboAbout->currentData().toString();
    ComboAbout->clear();
    if (!m_unit.isEmpty())
        ComboAbout->addItem(QStringLiteral("unit %1").arg(m_unit), QStringLiteral("unit"));
    QString site = chosenSite();
    if (site.isEmpty() && m_where && m_where->deployment)
        site = m_where->deployment->site;
    if (!site.isEmpty())
        ComboAbout->addItem(QStringLiteral("site %1").arg(site), QStringLiteral("site:") + site);
    const int again = ComboAbout->findData(kept);
    ComboAbout->setCurrentIndex(again >= 0 ? again : 0);
    ButtonNote->setEnabled(ComboAbout->count() > 0);
}

void SitePanel::recordDeployment() {
    const std::int64_t now = Now();
    const QString site = chosenSite();
    QString why = checkSiteChosen(site, m_sites);
    if (why.isEmpty())
        why = checkTime(deployTime(), now, Zone);
    if (!why.isEmpty() || !m_offer) {
        say(why.isEmpty() ? QStringLiteral("Nothing to record.") : why, true);
        return;
    }
    std::vector<bool> kept;
    for (QCheckBox* box : RemovalBoxes)
        kept.push_back(box->isChecked());
    const fleet::SwapOffer confirmed = confirmedOffer(*m_offer, kept);
    if (confirmed.action == fleet::SwapOffer::Action::Nothing) {
        say(offerShown(confirmed, Zone).text, true);
        return;
    }
    const auto recorded = m_service.recordSwap(confirmed);
    if (!recorded.ok()) {
        say(refusedText(recorded.error()), true);
        return;
    }
    QString text = QStringLiteral("Recorded: %1 at %2 from %3.")
                       .arg(confirmed.unit, confirmed.site, shownTime(confirmed.atMs, Zone));
    for (const fleet::Removal& r : confirmed.removals)
        text += QStringLiteral(" %1 removed.").arg(r.unit);
    refresh();
    say(text, false);
}

void SitePanel::recordNote() {
    fleet::NoteDraft note;
    note.category = static_cast<fleet::NoteCategory>(ComboCategory->currentData().toInt());
    note.text = EditNote->toPlainText();
    const QString about = ComboAbout->currentData().toString();
    if (about == QLatin1String("unit"))
        note.unit = m_unit;
    else if (about.startsWith(QLatin1String("site:")))
        note.site = about.mid(5);
    note.atMs = Now();
    if (const QString why = checkNote(note, m_sites, note.atMs, Zone); !why.isEmpty()) {
        say(why, true);
        return;
    }
    const auto recorded = m_service.recordNote(note);
    if (!recorded.ok()) {
        say(refusedText(recorded.error()), true);
        return;
    }
    EditNote->clear();
    say(QStringLiteral("Note recorded about %1, by %2.")
            .arg(note.unit.isEmpty() ? note.site : note.unit, m_service.author()),
        false);
}

void SitePanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SitePanel::say(const QString& text, bool refusal) {
    m_refused = refusal;
    LabelMessage->setText(text);
    LabelMessage->setStyleSheet(refusal ? QStringLiteral("color: #b00020;") : QString());
}

} // namespace site_window
