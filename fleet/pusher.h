// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The pusher: sends the outboxes' facts to the server, in order, on a thread of its own.
//
// Thread: one std::thread per Pusher ("fleet pusher"), started by start(), ended by stop().
// It owns its own SQLite connection to each outbox file (Qt SQL, opened and closed on that
// thread) and its own server connection (PgConnection); it touches nothing else of the
// program. Its waits (the server's answers, the back-off, the idle wait) sleep in poll() on
// eventfds, so stop() ends any of them at once and returns within about 2 s whatever the
// server does; nothing the windows, a download or the exit do waits for the server.
//
// A pass: for each outbox file in turn, read the oldest facts (a batch), send them in one
// server transaction (INSERT ... ON CONFLICT DO NOTHING, per kind, in outbox order), find
// those the server already held with different content, then in one local transaction note
// those in the conflicts table and remove exactly the batch's rows from the outbox, each by
// its key (another pusher of the folder may have written rows meanwhile). A kept download's
// fact goes with its batch; its bytes follow once no fact waits, in chunks of their own
// (fleet/kept_bytes.h), paused whenever a fact comes. A batch the server did not answer in
// time is halved and sent again soon: the link is slow, not lost ("slow link" in the status,
// apart from "not reachable"). A fact counts as
// refused for its content only on the SQLSTATEs that say so of a value the laptop sent; any
// other refusal leaves the batch waiting, told. A batch the server did
// not confirm stays in the outbox and goes again, whole and in order: the server keeps each
// identity once, so nothing is doubled and nothing lost. While the server cannot be reached
// the pusher retries with a growing pause (back-off); a server whose schema differs, or that
// refuses this laptop, is told once and retried at the longest pause.
//
// Lock: m_mutex guards the status, the nudge count and the pass count; the status callback
// and the log run on the pusher thread without it.

#include "fleet/push_status.h"
#include "fleet/sharing_sources.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fleet {

class PgConnection;

struct PusherConfig {
    std::string conninfo; // serviceConninfo(name)
    // SQLite files holding an outbox, pushed in this order (the register's before the
    // series'). A file that does not exist yet is passed over until it does.
    std::vector<std::string> outboxFiles;
    int batchSize = 2000;
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds statementTimeout{30000};
    std::chrono::milliseconds retryFirst{1000};
    std::chrono::milliseconds retryMost{60000};
    // How often the outboxes are read again with no nudge, for facts another program of the
    // same folder (xrq-collect) wrote.
    std::chrono::milliseconds idleRecheck{30000};
    // What the pusher reads from the rooms above it (the series' spans, the requeuers),
    // handed in by the program's start; the Pusher refuses to be made without them.
    SharingSources sources;
    // Both run on the pusher thread.
    std::function<void(const PushStatus&)> onStatus;
    std::function<void(unsigned sourceLine, const QString& message)> log;
};

class Pusher {
public:
    // Throws std::logic_error when `config.sources` lacks a part (SharingSources::missing):
    // a program whose start forgot its wiring fails at once, in its tests, rather than
    // leaving the series' records unsent.
    explicit Pusher(PusherConfig config);
    ~Pusher();
    Pusher(const Pusher&) = delete;
    Pusher& operator=(const Pusher&) = delete;

    void start();
    // New facts are in an outbox: push now rather than at the next recheck. Any thread.
    void nudge();
    // Ends the thread; returns when it has ended (within about 2 s). Any thread but the
    // pusher's; safe to call twice.
    void stop();

    PushStatus status() const;
    // Pushes now and waits until every fact written before the call is confirmed (true), the
    // server refuses this laptop, or `timeout` passes (false). For xrq-collect's --push-wait.
    bool pushAndWait(std::chrono::milliseconds timeout);
    // Waits until the status satisfies `done` (true) or `timeout` passes (false).
    bool waitFor(const std::function<bool(const PushStatus&)>& done,
                 std::chrono::milliseconds timeout);

private:
    struct Local;
    // The pusher thread as a small state machine (run): each state does its work and says
    // what came of it (an Event); transition() alone says where that leads.
    //   Counting     the outboxes counted          -> Idle (none wait) or Connecting
    //   Idle         waits for a nudge or the recheck -> Counting
    //   Connecting   the server and its schema     -> Pushing, Unreachable or Refused
    //   Pushing      a pass over the outboxes      -> Counting, SlowLink, Unreachable, Refused
    //   SlowLink     a short pause, smaller batches -> Counting
    //   Unreachable  told once, growing pauses     -> Counting
    //   Refused      told once, the longest pause  -> Counting
    // and from any state, once stop() is asked for, Ended.
    enum class State { Counting, Idle, Connecting, Pushing, SlowLink, Unreachable, Refused, Ended };
    enum class Event {
        NothingWaits,
        FactsWait,
        Connected,
        Pushed,
        Slow,
        Transient,
        Refused,
        Waited,
        Stopped
    };
    struct Run;
    static State transition(State from, Event event);
    void run();
    Event count(Local& local, Run& r);
    Event idle(Run& r);
    Event connect(PgConnection& pg, Run& r);
    Event push(Local& local, PgConnection& pg, Run& r);
    Event slowLink(Run& r);
    Event failed(State state, Run& r);

    // A pass: every outbox's facts in batches, then the kept downloads' bytes.
    enum class Outcome { Pushed, Transient, Slow, Refused, Stopped };
    struct PassTally;
    Outcome pass(Local& local, PgConnection& pg);
    // The laptop whose outbox file `k` is, found at its first pass.
    void learnLaptopId(Local& local, std::size_t k);
    // One batch of file `k` read, sent and settled: nothing when it went or none was left
    // (`tally.fileDone`), else what ends the pass.
    std::optional<Outcome> sendBatch(Local& local, std::size_t k, PgConnection& pg,
                                     PassTally& tally);
    // A batch the server did not take (`result`, a BatchResult): the status, the connection.
    Outcome batchFailed(int result, const QString& why, PgConnection& pg);
    // After the facts: the kept downloads' bytes (fleet/kept_bytes.h), paused for facts that
    // come meanwhile.
    Outcome sendBytes(Local& local, PgConnection& pg);
    void setStatus(const std::function<void(PushStatus&)>& change);
    void say(unsigned line, const QString& message);
    // Sleeps for `pause`, or until stop(); with `orNudge`, a nudge ends it too.
    void sleepFor(std::chrono::milliseconds pause, bool orNudge);
    std::chrono::milliseconds retryPause(int failures) const;

    PusherConfig m_config;
    // Facts a batch takes now: halved after a batch the server did not answer in time (a slow
    // link), doubled back towards batchSize after each one it took. Pusher thread only.
    int m_batchSize = 1;
    int m_stopFd = -1;
    int m_nudgeFd = -1;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    PushStatus m_status;
    std::uint64_t m_nudges = 0;      // nudges asked for
    std::uint64_t m_doneThrough = 0; // every fact written before this nudge is confirmed
    std::uint64_t m_refusals = 0;    // times the server refused this laptop
    bool m_ended = false;
};

} // namespace fleet
