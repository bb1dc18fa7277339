// SPDX-License-Identifier: GPL-3.0-or-later
#include "site_window/site_panel_model.h"

#include <QDateTime>

#include <algorithm>

namespace site_window {

namespace {

const fleet::Site* findSite(const std::vector<fleet::Site>& sites, const QString& code) {
    const auto it = std::find_if(sites.begin(), sites.end(),
                                 [&](const fleet::Site& s) { return s.code == code; });
    return it == sites.end() ? nullptr : &*it;
}

QString siteNamed(const QString& code, const std::optional<fleet::Site>& site) {
    if (site && !site->name.isEmpty())
        return code + QStringLiteral(", ") + site->name;
    return code;
}

QString sourceText(const fleet::SiteKnowledge& k, bool pending, const QTimeZone& zone) {
    QString text;
    switch (k.source) {
    case fleet::SiteKnowledge::Source::Server:
        text = QStringLiteral("From the server now (read %1).").arg(shownTime(k.learntAtMs, zone));
        break;
    case fleet::SiteKnowledge::Source::Learnt:
        text = QStringLiteral("As learnt from the server at %1; not read from it since.")
                   .arg(shownTime(k.learntAtMs, zone));
        break;
    case fleet::SiteKnowledge::Source::Nothing:
        text = QStringLiteral("Nothing learnt from the server yet: only what this laptop "
                              "recorded.");
        break;
    }
    if (pending)
        text += QStringLiteral(" The deployment shown was recorded on this laptop and is not "
                               "sent yet.");
    else if (k.waiting > 0)
        text += QStringLiteral(" %1 record(s) of this laptop not sent yet.").arg(k.waiting);
    return text;
}

} // namespace

QString shownTime(std::int64_t ms, const QTimeZone& zone) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms, zone);
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm ")) + t.timeZoneAbbreviation();
}

WhereShown whereShown(const fleet::UnitWhereabouts& w, const QTimeZone& zone) {
    WhereShown shown;
    if (w.deployment) {
        shown.where = QStringLiteral("%1 is at %2, since %3.")
                          .arg(w.unit, siteNamed(w.deployment->site, w.site),
                               shownTime(w.deployment->fromMs, zone));
    } else if (w.removedAt) {
        shown.where = QStringLiteral("%1 is not recorded at any site (removed %2).")
                          .arg(w.unit, shownTime(w.removedAt->atMs, zone));
    } else {
        shown.where = QStringLiteral("%1 is not recorded at any site.").arg(w.unit);
    }
    shown.source = sourceText(w.knowledge, w.deployment && w.pending, zone);
    for (const fleet::Deployment& other : w.sideBySide) {
        if (other.unit == w.unit)
            continue;
        shown.beside << QStringLiteral("Side by side with %1, there since %2.")
                            .arg(other.unit, shownTime(other.fromMs, zone));
    }
    return shown;
}

OfferShown offerShown(const fleet::SwapOffer& offer, const QTimeZone& zone) {
    OfferShown shown;
    const QString at = shownTime(offer.atMs, zone);
    switch (offer.action) {
    case fleet::SwapOffer::Action::Nothing:
        shown.text = QStringLiteral("%1 is recorded at %2 already: nothing to record.")
                         .arg(offer.unit, offer.site);
        return shown;
    case fleet::SwapOffer::Action::Deploy:
        shown.text =
            QStringLiteral("Record %1 deployed at %2 from %3.").arg(offer.unit, offer.site, at);
        shown.button = QStringLiteral("Record Deployment");
        break;
    case fleet::SwapOffer::Action::Swap: {
        QStringList others;
        for (const fleet::Removal& r : offer.removals) {
            others << r.unit;
            shown.removed << QStringLiteral("Remove %1 at %2").arg(r.unit, at);
        }
        const QString named = others.join(QStringLiteral(" and "));
        shown.text =
            QStringLiteral("%1 %2 recorded at %3. Record the swap: %1 removed and %4 "
                           "deployed, at %5?")
                .arg(named, others.size() > 1 ? QStringLiteral("are") : QStringLiteral("is"),
                     offer.site, offer.unit, at);
        shown.button = QStringLiteral("Record Swap");
        break;
    }
    }
    if (offer.previous && offer.previous->site != offer.site)
        shown.text += QStringLiteral(" This ends its deployment at %1 (since %2).")
                          .arg(offer.previous->site, shownTime(offer.previous->fromMs, zone));
    return shown;
}

fleet::SwapOffer confirmedOffer(fleet::SwapOffer offer, const std::vector<bool>& kept) {
    if (offer.action != fleet::SwapOffer::Action::Swap)
        return offer;
    std::vector<fleet::Removal> removals;
    for (std::size_t i = 0; i < offer.removals.size(); ++i)
        if (i >= kept.size() || kept[i])
            removals.push_back(offer.removals[i]);
    offer.removals = std::move(removals);
    if (offer.removals.empty())
        offer.action = fleet::SwapOffer::Action::Deploy;
    return offer;
}

QString checkTime(std::int64_t atMs, std::int64_t nowMs, const QTimeZone& zone) {
    if (atMs > nowMs + kFutureSlackMs)
        return QStringLiteral("The time %1 is in the future: it is %2 now. Choose a time "
                              "up to now.")
            .arg(shownTime(atMs, zone), shownTime(nowMs, zone));
    if (atMs <= 0)
        return QStringLiteral("Choose a time after 1970.");
    return {};
}

QString checkSiteChosen(const QString& code, const std::vector<fleet::Site>& sites) {
    if (code.isEmpty())
        return sites.empty() ? QStringLiteral("No site is known to this laptop: the data "
                                              "manager adds sites on the server.")
                             : QStringLiteral("Choose the site first.");
    if (!findSite(sites, code))
        return QStringLiteral("The site %1 is not known to this laptop.").arg(code);
    return {};
}

QString checkNote(const fleet::NoteDraft& note, const std::vector<fleet::Site>& sites,
                  std::int64_t nowMs, const QTimeZone& zone) {
    if (note.text.trimmed().isEmpty())
        return QStringLiteral("Write the note's text first.");
    if (note.text.size() > kNoteMaxChars)
        return QStringLiteral("The note is %1 characters long; at most %2 are kept. Shorten it.")
            .arg(note.text.size())
            .arg(kNoteMaxChars);
    if (note.site.isEmpty() && note.unit.isEmpty())
        return QStringLiteral("Say what the note is about: the site or the unit.");
    if (!note.site.isEmpty()) {
        if (const QString why = checkSiteChosen(note.site, sites); !why.isEmpty())
            return why;
    }
    return checkTime(note.atMs, nowMs, zone);
}

QStringList siteChoices(const std::vector<fleet::Site>& sites) {
    QStringList items;
    for (const fleet::Site& s : sites)
        items << (s.name.isEmpty() ? s.code : s.code + QStringLiteral("  ") + s.name);
    return items;
}

QString siteCodeTyped(const QString& typed, const std::vector<fleet::Site>& sites) {
    const QString word = typed.simplified().section(QLatin1Char(' '), 0, 0);
    if (word.isEmpty())
        return {};
    for (const fleet::Site& s : sites)
        if (s.code.compare(word, Qt::CaseInsensitive) == 0)
            return s.code;
    return word;
}

QPoint placeBeside(const QRect& owner, const QSize& frame, const QRect& area) {
    const int rightRoom = area.right() - owner.right();
    const int leftRoom = owner.left() - area.left();
    int x;
    if (rightRoom >= frame.width())
        x = owner.right() + 1;
    else if (leftRoom >= frame.width())
        x = owner.left() - frame.width();
    else if (rightRoom >= leftRoom)
        x = area.right() + 1 - frame.width();
    else
        x = area.left();
    const int y = std::max(area.top(), std::min(owner.top(), area.bottom() + 1 - frame.height()));
    return {std::max(area.left(), x), y};
}

QString refusedText(const platform::Error& error) {
    const QString words = QString::fromStdString(error.text);
    switch (error.kind) {
    case platform::ErrorKind::NotFound:
    case platform::ErrorKind::Invalid:
        return QStringLiteral("Not recorded: %1").arg(words);
    case platform::ErrorKind::Busy:
        return QStringLiteral("Not recorded: %1 Try again in a moment.").arg(words);
    default:
        return QStringLiteral("Not recorded, nothing was kept: %1").arg(words);
    }
}

} // namespace site_window
