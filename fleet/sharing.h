// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's sharing with the organisation's server, as the windows see it: the settings
// (fleet.ini), the pusher while a service is chosen, the status line, when the server was
// last reached, and reads from the server on threads of their own (fleet/server_reads.h).
//
// Threads: the object lives on the UI thread and every member is called there.
// The pusher's thread and the reads report through one platform::UiHandover made by start():
// the pusher's status and log lines, and each read's answer, run on the UI thread in the
// order they came. stop() ends the pusher (within about 2 s, whatever the server does) and
// every read (at once), then runs what they had handed over, so nothing is lost or late.

#include "fleet/fleet_settings.h"
#include "fleet/other_laptops.h"
#include "fleet/push_status.h"
#include "fleet/pusher.h"
#include "fleet/server_history.h"
#include "fleet/sharing_sources.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class UiHandover;
}

namespace fleet {

class ServerReads;

// Lives on the UI thread; carries sharing's news to the windows.
class SharingSignals : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
signals:
    // The status line changed ("shared: up to date", "not shared"...).
    void statusChanged(const QString& line);
};

class Sharing {
public:
    using Log = std::function<void(unsigned sourceLine, const QString& message)>;

    Sharing();
    ~Sharing(); // stop()
    Sharing(const Sharing&) = delete;
    Sharing& operator=(const Sharing&) = delete;

    // Reads fleet.ini in `folder` (ending with "/") and, when a service is chosen there,
    // starts the pusher over `outboxFiles` (in that order). `sources`: what the pusher and
    // the reads take from the series and the register, from the program's start (throws
    // std::logic_error when it lacks a part: SharingSources::missing). `log` writes the run
    // log.
    void start(const std::string& folder, std::vector<std::string> outboxFiles,
               SharingSources sources, Log log);
    // New settings (Setup saved them): a changed service or laptop name restarts the pusher;
    // none stops it.
    void apply(const FleetSettings& settings);
    // Ends the pusher and the reads; returns within about 2 s.
    void stop();
    bool started() const { return m_handover != nullptr; }

    // New facts are in an outbox: push now rather than at the pusher's next look.
    void nudge();

    bool shared() const { return m_settings.shared(); }
    const FleetSettings& settings() const { return m_settings; }
    const std::string& folder() const { return m_folder; }
    std::string conninfo() const;
    const PushStatus& status() const { return m_status; }
    QString statusLine() const;
    // When the server last answered (confirmed facts the pusher sent, or a read), ms since the
    // epoch; kept across runs in the files folder (fleet/last_contact.h), at most a minute
    // behind while the program runs and exactly at stop().
    std::optional<std::int64_t> lastContact() const { return m_lastContact; }
    void noteContact(std::int64_t ms);

    // Runs `work(conninfo, laptop, stopFd)` on a thread of its own, then `done` with its
    // result on the UI thread unless `context` has gone by then. False (nothing runs) when not
    // shared or not started.
    template <class R>
    bool read(QObject* context,
              std::function<R(const std::string& conninfo, const QString& laptop, int stopFd)> work,
              std::function<void(R)> done) {
        if (!shared() || !started())
            return false;
        QPointer<QObject> guard(context);
        return runRead([work = std::move(work), done = std::move(done), guard, conn = conninfo(),
                        laptop = m_settings.laptop, post = poster()](int stopFd) mutable {
            auto result = std::make_shared<R>(work(conn, laptop, stopFd));
            post([guard, done = std::move(done), result] {
                if (guard)
                    done(std::move(*result));
            });
        });
    }

    // Asks the server whether another laptop's safe download holds records of `unit` that
    // this laptop's series does not (fleet/other_laptops.h), waiting at most `deadline` on the
    // calling thread: nothing when not shared or no answer came in time (the read then ends by
    // its own deadline, on its own thread). UI thread.
    std::optional<OtherDownload> checkOtherDownload(const QString& unit,
                                                    std::chrono::milliseconds deadline);

    // Settings for the pusher that tests shorten (pauses, time-outs); the files and the
    // callbacks are set by start().
    PusherConfig tuning;

    SharingSignals* signalsObject() const { return m_signals.get(); }
    // The pusher, while one runs, and the reads not yet finished (tests).
    Pusher* pusher() const { return m_pusher.get(); }
    std::size_t readsRunning() const;

private:
    // The kept time of the chosen service's last answer, and keeping the newest one.
    void loadContact();
    bool contactToKeep() const;
    // On the calling thread (at stop(), once the threads have ended)...
    void keepContact();
    // ...or on a thread of its own, its end on the UI thread.
    void keepContactAside();
    // `why` is empty when `ms` was kept.
    void contactWritten(std::int64_t ms, const std::string& why);
    void startPusher();
    void stopPusher();
    bool runRead(std::function<void(int stopFd)> work);
    // Any thread: `call` runs on the UI thread (dropped after stop()).
    std::function<void(std::function<void()>)> poster();
    void statusArrived(std::uint64_t generation, const PushStatus& status);
    void say(unsigned line, const QString& message);

    std::string m_folder;
    std::vector<std::string> m_outboxFiles;
    SharingSources m_sources;
    Log m_log;
    FleetSettings m_settings;
    PushStatus m_status;
    std::optional<std::int64_t> m_lastContact;
    static constexpr std::int64_t kContactKeptEvery = 60 * 1000; // ms
    std::optional<std::int64_t> m_contactKept;                   // the time in the file
    std::string m_contactProblem;   // the last reason it could not be kept, told
    bool m_contactWriting = false;  // a write on its own thread has not ended yet
    std::uint64_t m_generation = 0; // of the pusher now running: older ones' news is dropped
    std::unique_ptr<platform::UiHandover> m_handover;
    std::unique_ptr<Pusher> m_pusher;
    std::unique_ptr<ServerReads> m_reads;
    std::unique_ptr<SharingSignals> m_signals;
};

// The program's sharing, started when the main window is first shown.
Sharing& sharing();

} // namespace fleet
