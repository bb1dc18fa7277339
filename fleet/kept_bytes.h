// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A kept download's bytes, on their own: the fact (its SHA-256 and size) goes with its batch;
// its bytes follow once every fact waiting has gone, in chunks of kBytesChunk, each chunk its
// own statement and so its own transaction (xrq.download_chunks, by SHA-256 and offset), with a
// deadline scaled to its size. What the server holds already is never sent again: a transfer
// cut (a lost link, a killed program) resumes at the first chunk the server lacks. With every
// chunk there, one statement on the server puts them together into xrq.download_bytes, whose
// check proves the hash; chunks that do not make the hash (another role's, wrong) leave the
// bytes to go whole in one statement instead.
//
// The outbox keeps what is still to send as a row of kind "bytes" (no fact: facts 0; position
// the size), written when the kept download's fact is settled and removed when the server
// holds the bytes, declines them, or the file no longer holds them (outbox.h).

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>

namespace fleet {

class PgConnection;

inline constexpr std::int64_t kBytesChunk = 256 * 1024;
// The slowest link a chunk's deadline allows for (64 kbit/s, a poor mobile link).
inline constexpr std::int64_t kSlowestBytesPerSecond = 8 * 1024;

// A statement that sends `bytes` must be answered within this: `base` for the server's own
// work, and the bytes at the slowest link's rate.
std::chrono::milliseconds sendDeadline(std::int64_t bytes, std::chrono::milliseconds base);

struct KeptBytes {
    QString sha256; // lower-case hex
    std::int64_t size = 0;
    QString path; // on this laptop
};

// What the server takes of kept downloads' bytes, read once per connection.
struct BytesPolicy {
    bool read = false;
    bool accept = false;
    long long most = 0;
};

enum class BytesEnd {
    Done,      // the server holds them, declines them, or the file no longer holds them
    Paused,    // `goOn` asked to stop between chunks (facts came, or the pusher stops)
    Slow,      // a chunk was not answered within its deadline: the link is slow
    Transient, // the connection failed: try again later
    Refused,   // the server refused a statement for another reason
    Stopped,   // the connection's stop descriptor ended a wait
};

struct BytesOutcome {
    BytesEnd end = BytesEnd::Done;
    QString why;           // libpq's or the server's words, when not done
    QStringList notes;     // for the run log: bytes declined or not sent, and why
    std::int64_t left = 0; // bytes the server still lacks after this call
};

// Sends what the server lacks of `bytes`. `goOn(sent)` runs after each chunk the server took,
// with that chunk's size; false pauses the transfer there.
BytesOutcome sendKeptBytes(PgConnection& pg, const KeptBytes& bytes, BytesPolicy& policy,
                           std::chrono::milliseconds base,
                           const std::function<bool(std::int64_t sent)>& goOn);

} // namespace fleet
