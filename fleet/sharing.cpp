// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/sharing.h"

#include "dialogs/source_lines.h"
#include "fleet/laptop_identity.h"
#include "fleet/last_contact.h"
#include "fleet/pg_connection.h"
#include "fleet/server_reads.h"
#include "ui_handover/ui_handover.h"

#include <QDateTime>

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace fleet {

Sharing::Sharing() : m_signals(std::make_unique<SharingSignals>()) {}

Sharing::~Sharing() {
    stop();
}

Sharing& sharing() {
    static Sharing instance;
    return instance;
}

void Sharing::start(const std::string& folder, std::vector<std::string> outboxFiles,
                    SharingSources sources, Log log) {
    if (const std::string missing = sources.missing(true); !missing.empty())
        throw std::logic_error("sharing was started without " + missing +
                               ": the program's start hands them in (fleet/sharing_sources.h)");
    stop();
    m_sources = std::move(sources);
    m_folder = folder;
    m_outboxFiles = std::move(outboxFiles);
    m_log = std::move(log);
    m_handover = std::make_unique<platform::UiHandover>();
    m_reads = std::make_unique<ServerReads>();
    m_settings = readFleetSettings(folder);
    loadContact();
    startPusher();
}

void Sharing::apply(const FleetSettings& settings) {
    const bool newService = settings.service != m_settings.service;
    const bool changed = newService || settings.laptop != m_settings.laptop;
    // Under the service it came from, beside the windows like every write while running.
    if (changed && started())
        keepContactAside();
    m_settings = settings;
    if (!changed || !started())
        return;
    say(source_line::fleetSettingsChanged,
        settings.shared() ? QStringLiteral("sharing settings changed: service %1, laptop %2")
                                .arg(settings.service, settings.laptop)
                          : QStringLiteral("sharing settings changed: not shared"));
    stopPusher();
    // What the old server last said is no news of the new one.
    if (newService)
        loadContact();
    startPusher();
}

void Sharing::stop() {
    if (!started())
        return;
    stopPusher();
    m_reads->stop();
    // What the threads handed over before they ended still reaches the windows and the log.
    m_handover->drain();
    keepContact();
    m_reads.reset();
    m_handover.reset();
}

void Sharing::nudge() {
    if (m_pusher)
        m_pusher->nudge();
}

std::string Sharing::conninfo() const {
    return serviceConninfo(m_settings.service.toStdString());
}

QString Sharing::statusLine() const {
    return fleet::statusLine(m_status, QDateTime::currentMSecsSinceEpoch());
}

void Sharing::noteContact(std::int64_t ms) {
    if (!m_lastContact || *m_lastContact < ms)
        m_lastContact = ms;
    // Not at every answer: a time kept a minute late only makes "not checked since" earlier
    // than it could be, and stop() keeps the newest.
    if (!m_contactKept || ms - *m_contactKept >= kContactKeptEvery)
        keepContactAside();
}

void Sharing::loadContact() {
    m_lastContact.reset();
    m_contactKept.reset();
    if (!shared() || m_folder.empty())
        return;
    m_lastContact = readLastContact(m_folder, m_settings.service.toStdString());
    m_contactKept = m_lastContact;
}

bool Sharing::contactToKeep() const {
    return m_lastContact && m_lastContact != m_contactKept && shared() && !m_folder.empty();
}

void Sharing::keepContact() {
    if (!contactToKeep())
        return;
    const auto written =
        writeLastContact(m_folder, m_settings.service.toStdString(), *m_lastContact);
    contactWritten(*m_lastContact, written ? std::string() : written.text());
}

void Sharing::keepContactAside() {
    // One write at a time: the file's temporary name is fixed. The next answer after it
    // keeps what came meanwhile.
    if (m_contactWriting || !contactToKeep())
        return;
    const std::int64_t ms = *m_lastContact;
    const QString service = m_settings.service;
    // The file is synced twice (itself and its folder): never on the UI thread while the
    // program runs. stop() joins the write and runs its end before keeping the newest time.
    m_contactWriting = read<std::string>(
        m_signals.get(),
        [folder = m_folder, service = service.toStdString(), ms](const std::string&, const QString&,
                                                                 int) {
            const auto written = writeLastContact(folder, service, ms);
            return written ? std::string() : written.text();
        },
        [this, ms, service](std::string why) {
            m_contactWriting = false;
            // The time of a service since left says nothing of the one chosen now.
            if (service == m_settings.service)
                contactWritten(ms, why);
        });
    if (!m_contactWriting)
        keepContact();
}

void Sharing::contactWritten(std::int64_t ms, const std::string& why) {
    // Kept, or tried again with an answer a minute later; a problem told once per reason.
    m_contactKept = ms;
    if (why.empty()) {
        m_contactProblem.clear();
        return;
    }
    if (why != m_contactProblem) {
        m_contactProblem = why;
        say(source_line::fleetContactNotKept,
            QStringLiteral("when the server last answered was not kept: ") +
                QString::fromLocal8Bit(why.c_str()));
    }
}

void Sharing::startPusher() {
    if (!m_settings.shared()) {
        m_status = PushStatus{};
        emit m_signals->statusChanged(statusLine());
        return;
    }
    PusherConfig config = tuning;
    config.sources = m_sources;
    config.conninfo = conninfo();
    config.outboxFiles = m_outboxFiles;
    auto post = poster();
    const std::uint64_t generation = ++m_generation;
    config.onStatus = [post, generation, this](const PushStatus& status) {
        post([status, generation, this] { statusArrived(generation, status); });
    };
    config.log = [post, this](unsigned line, const QString& message) {
        post([line, message, this] { say(line, message); });
    };
    // Until the pusher's first word: what it has to go on is the outboxes.
    m_status = PushStatus{};
    m_status.state = PushStatus::State::Pushing;
    say(source_line::fleetSharingStarted, QStringLiteral("sharing with service %1 as laptop %2")
                                              .arg(m_settings.service, m_settings.laptop));
    m_pusher = std::make_unique<Pusher>(std::move(config));
    m_pusher->start();
}

void Sharing::stopPusher() {
    if (!m_pusher)
        return;
    m_pusher->stop();
    m_pusher.reset();
    say(source_line::fleetSharingStopped, QStringLiteral("sharing stopped"));
}

std::optional<OtherDownload> Sharing::checkOtherDownload(const QString& unit,
                                                         std::chrono::milliseconds deadline) {
    if (!shared() || !started())
        return std::nullopt;
    struct Answer {
        std::mutex mutex;
        std::condition_variable came;
        std::optional<OtherDownload> value;
    };
    auto answer = std::make_shared<Answer>();
    const bool asked =
        runRead([answer, unit, deadline, conn = conninfo(), folder = m_folder,
                 laptop = m_settings.laptop, lookup = m_sources.recordLookup](int stopFd) {
            const LaptopSelf self{laptopIdentity(folder).id, laptop};
            OtherDownload d = judgeOtherRecords(
                otherLaptopsRecords(conn, unit, self, deadline, stopFd), folder, unit, lookup);
            std::lock_guard lock(answer->mutex);
            answer->value = std::move(d);
            answer->came.notify_all();
        });
    if (!asked)
        return std::nullopt;
    std::unique_lock lock(answer->mutex);
    answer->came.wait_for(lock, deadline, [&] { return answer->value.has_value(); });
    if (answer->value && answer->value->ok)
        noteContact(QDateTime::currentMSecsSinceEpoch());
    return answer->value;
}

std::size_t Sharing::readsRunning() const {
    return m_reads ? m_reads->running() : 0;
}

bool Sharing::runRead(std::function<void(int stopFd)> work) {
    return m_reads && m_reads->run(std::move(work));
}

std::function<void(std::function<void()>)> Sharing::poster() {
    // stop() joins every thread that holds this before the hand-over goes.
    platform::UiHandover* handover = m_handover.get();
    return [handover](std::function<void()> call) {
        if (handover)
            handover->post(std::move(call));
    };
}

void Sharing::statusArrived(std::uint64_t generation, const PushStatus& status) {
    // A status from a pusher that has been replaced since says nothing of the new one.
    if (!m_pusher || generation != m_generation)
        return;
    // Only a confirmation is word from the server: with empty outboxes the pusher is up to
    // date without asking it.
    if (status.pushed > m_status.pushed || status.bytesWaiting < m_status.bytesWaiting)
        noteContact(QDateTime::currentMSecsSinceEpoch());
    m_status = status;
    emit m_signals->statusChanged(statusLine());
}

void Sharing::say(unsigned line, const QString& message) {
    if (m_log)
        m_log(line, message);
}

} // namespace fleet
