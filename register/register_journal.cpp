// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_journal.h"

#include "platform/durable_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace unitreg {

namespace {

template <class... F> struct Overload : F... { using F::operator()...; };
template <class... F> Overload(F...) -> Overload<F...>;

QString text(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string bytesOf(const QJsonValue& value) {
    return value.toString().toLatin1().toStdString();
}

std::int64_t integer(const QJsonValue& value) {
    // Milliseconds and byte counts fit a double's 53 bits exactly; the text form is kept for
    // what might not.
    return value.isString() ? value.toString().toLongLong() : value.toInteger();
}

QJsonArray texts(const std::vector<std::string>& list) {
    QJsonArray array;
    for (const std::string& s : list)
        array.append(text(s));
    return array;
}

std::vector<std::string> textsOf(const QJsonValue& value) {
    std::vector<std::string> out;
    for (const QJsonValue& v : value.toArray())
        out.push_back(bytesOf(v));
    return out;
}

// An open journal file of ours, locked: a regular file, not a link.
int openLocked(const std::string& path, int flags, std::string& why) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            why = std::strerror(errno);
            return -1;
        }
        struct stat st {};
        int r;
        do
            r = ::flock(fd, LOCK_EX);
        while (r != 0 && errno == EINTR);
        if (r != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            why = r != 0 ? std::strerror(errno) : "it is not a regular file";
            ::close(fd);
            return -1;
        }
        // Replayed and removed while we waited for the lock: a new file takes the lines.
        if (st.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        return fd;
    }
}

} // namespace

const std::string& eventId(const Event& event) {
    return std::visit([](const auto& e) -> const std::string& { return e.id; }, event);
}

const std::string& eventSerial(const Event& event) {
    return std::visit([](const auto& e) -> const std::string& { return e.serial; }, event);
}

bool recordEvent(UnitRegister& reg, const Event& event) {
    return std::visit(Overload{
                          [&](const Visit& e) { return reg.recordVisit(e); },
                          [&](const BatteryReading& e) { return reg.recordBattery(e); },
                          [&](const ClockSet& e) { return reg.recordClockSet(e); },
                          [&](const Download& e) { return reg.recordDownload(e); },
                          [&](const Clear& e) { return reg.recordClear(e); },
                          [&](const Identification& e) { return reg.recordIdentification(e); },
                          [&](const JudgedAgain& e) { return reg.recordJudgedAgain(e); },
                      },
                      event);
}

QByteArray eventLine(const Event& event) {
    QJsonObject o;
    std::visit(Overload{
                   [&](const Visit& e) {
                       o[QLatin1String("kind")] = QLatin1String("visit");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("port")] = e.port;
                       o[QLatin1String("device")] = text(e.device);
                   },
                   [&](const BatteryReading& e) {
                       o[QLatin1String("kind")] = QLatin1String("battery");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("volts")] = e.volts;
                       o[QLatin1String("celsius")] = e.celsius;
                       o[QLatin1String("reply")] = text(e.reply);
                   },
                   [&](const ClockSet& e) {
                       o[QLatin1String("kind")] = QLatin1String("clock");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("sent")] = text(e.sent);
                       if (e.utcOffsetSeconds)
                           o[QLatin1String("utcOffset")] = *e.utcOffsetSeconds;
                       o[QLatin1String("timeZone")] = QString::fromStdString(e.timeZone);
                   },
                   [&](const Download& e) {
                       o[QLatin1String("kind")] = QLatin1String("download");
                       o[QLatin1String("started")] = qint64(e.started);
                       o[QLatin1String("ended")] = qint64(e.ended);
                       o[QLatin1String("bytes")] = QString::number(e.bytes);
                       o[QLatin1String("port")] = e.port;
                       o[QLatin1String("sets")] = e.sets;
                       o[QLatin1String("files")] = texts(e.files);
                       o[QLatin1String("keptFile")] = text(e.keptFile);
                       o[QLatin1String("complete")] = e.complete;
                       o[QLatin1String("why")] = text(e.why);
                       o[QLatin1String("verified")] = e.verified;
                       o[QLatin1String("reasons")] = texts(e.reasons);
                       QJsonArray sets;
                       for (const Download::SetLines& s : e.setLines)
                           sets.append(QJsonArray{text(s.name), s.lines});
                       o[QLatin1String("setLines")] = sets;
                       o[QLatin1String("lineErrors")] = text(e.lineErrors);
                   },
                   [&](const Clear& e) {
                       o[QLatin1String("kind")] = QLatin1String("clear");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("confirmed")] = e.confirmed;
                   },
                   [&](const Identification& e) {
                       o[QLatin1String("kind")] = QLatin1String("identification");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("download")] = text(e.downloadId);
                   },
                   [&](const JudgedAgain& e) {
                       o[QLatin1String("kind")] = QLatin1String("judged again");
                       o[QLatin1String("at")] = qint64(e.at);
                       o[QLatin1String("download")] = text(e.downloadId);
                       o[QLatin1String("started")] = qint64(e.downloadStarted);
                       o[QLatin1String("reasons")] = texts(e.reasons);
                   },
               },
               event);
    o[QLatin1String("id")] = text(eventId(event));
    o[QLatin1String("serial")] = text(eventSerial(event));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Event> eventFromLine(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const std::string id = bytesOf(o[QLatin1String("id")]);
    const std::string serial = bytesOf(o[QLatin1String("serial")]);
    const std::int64_t at = integer(o[QLatin1String("at")]);
    const QString kind = o[QLatin1String("kind")].toString();
    if (id.empty())
        return std::nullopt;
    if (kind == QLatin1String("visit"))
        return Visit{serial, at, o[QLatin1String("port")].toInt(-1),
                     bytesOf(o[QLatin1String("device")]), id};
    if (kind == QLatin1String("battery"))
        return BatteryReading{serial,
                              at,
                              o[QLatin1String("volts")].toDouble(),
                              o[QLatin1String("celsius")].toDouble(),
                              bytesOf(o[QLatin1String("reply")]),
                              id};
    if (kind == QLatin1String("clock")) {
        const QJsonValue offset = o[QLatin1String("utcOffset")];
        return ClockSet{serial,
                        at,
                        bytesOf(o[QLatin1String("sent")]),
                        offset.isDouble() ? std::optional<int>(offset.toInt())
                                          : std::optional<int>(),
                        o[QLatin1String("timeZone")].toString().toStdString(),
                        id};
    }
    if (kind == QLatin1String("clear"))
        return Clear{serial, at, o[QLatin1String("confirmed")].toBool(), id};
    if (kind == QLatin1String("identification"))
        return Identification{id, bytesOf(o[QLatin1String("download")]), serial, at};
    if (kind == QLatin1String("judged again"))
        return JudgedAgain{
            id, bytesOf(o[QLatin1String("download")]), serial,
            at, integer(o[QLatin1String("started")]),  textsOf(o[QLatin1String("reasons")])};
    if (kind == QLatin1String("download")) {
        Download d;
        d.id = id;
        d.serial = serial;
        d.started = integer(o[QLatin1String("started")]);
        d.ended = integer(o[QLatin1String("ended")]);
        d.bytes = static_cast<std::uint64_t>(integer(o[QLatin1String("bytes")]));
        d.port = o[QLatin1String("port")].toInt(-1);
        d.sets = o[QLatin1String("sets")].toInt();
        d.files = textsOf(o[QLatin1String("files")]);
        d.keptFile = bytesOf(o[QLatin1String("keptFile")]);
        d.complete = o[QLatin1String("complete")].toBool();
        d.why = bytesOf(o[QLatin1String("why")]);
        d.verified = o[QLatin1String("verified")].toBool();
        d.reasons = textsOf(o[QLatin1String("reasons")]);
        for (const QJsonValue& s : o[QLatin1String("setLines")].toArray())
            d.setLines.push_back({bytesOf(s.toArray().at(0)), s.toArray().at(1).toInt()});
        d.lineErrors = bytesOf(o[QLatin1String("lineErrors")]);
        return d;
    }
    return std::nullopt;
}

std::string journalPath(const std::string& registerPath) {
    return platform::folderOf(registerPath) + "/units-pending.jsonl";
}

platform::Result<void> appendToJournal(const std::string& path, const std::vector<Event>& events) {
    if (events.empty())
        return {};
    QByteArray lines;
    for (const Event& e : events)
        lines += eventLine(e) + '\n';
    struct stat before {};
    const bool existed = ::lstat(path.c_str(), &before) == 0;
    std::string why;
    const int fd = openLocked(path, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK, why);
    if (fd < 0)
        return platform::makeError(platform::ErrorKind::Io, why);
    // A line torn by an earlier crash ends here, so that ours starts a line of its own.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            lines.prepend('\n');
    }
    bool ok = platform::writeAll(fd, lines.constData(), static_cast<std::size_t>(lines.size())) &&
              platform::syncFileData(fd);
    if (ok && !existed)
        ok = platform::syncFolder(platform::folderOf(path));
    const int err = errno;
    ::close(fd);
    if (!ok)
        return platform::makeError(err == ENOSPC || err == EDQUOT ? platform::ErrorKind::Full
                                                                  : platform::ErrorKind::Io,
                                   std::strerror(err));
    return {};
}

ReplayOutcome replayJournal(const std::string& path,
                            const std::function<bool(const std::vector<Event>&)>& write) {
    ReplayOutcome out;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            out.why = std::strerror(errno);
        out.found = errno != ENOENT;
        return out;
    }
    out.found = true;
    const int fd = openLocked(path, O_RDWR | O_NONBLOCK, out.why);
    if (fd < 0)
        return out;
    QByteArray content;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            out.why = std::strerror(errno);
            ::close(fd);
            return out;
        }
        if (n == 0)
            break;
        content.append(buf, n);
    }
    std::vector<Event> events;
    for (const QByteArray& line : content.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        if (auto e = eventFromLine(line))
            events.push_back(std::move(*e));
        else
            ++out.unreadable;
    }
    out.events = static_cast<int>(events.size());
    if (!write(events)) {
        out.why = "the events could not be written";
        ::close(fd);
        return out;
    }
    // Removed under the lock, so that an append waiting for it starts a new file.
    if (::unlink(path.c_str()) != 0 || !platform::syncFolder(platform::folderOf(path))) {
        out.why = std::strerror(errno);
        ::close(fd);
        return out;
    }
    ::close(fd);
    out.replayed = true;
    return out;
}

} // namespace unitreg
