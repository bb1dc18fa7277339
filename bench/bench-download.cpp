// SPDX-License-Identifier: GPL-3.0-or-later
// Download benchmark: the program's own windows and collection code against the unit
// simulator on a pty, unpaced. For 1, 16 and 64 MB downloads it measures the capture rate
// without echo (the capture primitive writing the intermediate file only), the capture rate
// with echo (the whole Collect Data action, text shown in the main window), the conversion
// rate and the peak memory. Each size runs in a child process of its own, so each peak is
// that size's own. The output ends with the 16 MB figures, one "key value" pair a line.
//
// The echo mode measures what the main window's echo costs, with the simulator in a process
// of its own so that only the program's memory and wake-ups count: the resident memory a
// 16 and a 64 MB download add per MB (the echo keeps all of it), the capture rate with echo
// of 16 MB unpaced, and how often the program wakes while idle with the port open.
//
//   bench-download            all sizes
//   bench-download --size N   one size of N MB, in this process
//   bench-download --echo     rss_MiB_per_MB, capture_MBps_echo, idle_wakeups_per_s
//   bench-download --line-rate  line_rate_cpu_ratio, ctx_switches_per_chunk
//   bench-download --durability  what syncing costs: a 1000-data-set conversion and a 16 MB
//                    one with the syncs and without them (this program's own fsync and
//                    fdatasync skip the system call when told), the capture's final syncs
//                    of 16 MB, and the 16 MB conversion rate with everything synced
//
// The line-rate mode downloads about 100 kB paced at 19200 bit/s through the Collect Data
// action (the real receive path and the main window's echo), while a plain reader, a child
// process doing blocking read() and nothing else, takes the same traffic from a second
// simulator at the same pace on another pty. Both run at once, so the machine's load weighs
// on both alike. The figures: the program's CPU time over the plain reader's, and the
// program's context switches (every thread, voluntary and not) per received chunk, a chunk
// being one arrival as the plain reader sees it, and per received-char hand-over to the
// session's handler (one hand-over carries several arrivals while the line streams). Two
// more readers, each with
// its own simulator and pty, run beside them: a terminal program with a log file (poll,
// read, log, screen; line_rate_cpu_ratio_logging is the program's CPU over its), and a
// waiting thread handing each chunk to a main thread with nothing else, the floor of the
// program's structure on this machine.

#include "comport/Comport.h"
#include "dialogs/scripted_dialogs.h"
#include "download/capture_sink.h"
#include "download/data_collection.h"
#include "download/download_status.h"
#include "main/fMain.h"
#include "serial/fSerial.h"
#include "setup/fSetup.h"
#include "start/program_start.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "tools/sim/data_set.h"
#include "tools/sim/pty_unit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPort = 7;

// CPU seconds of the whole process (all threads, the simulator's included) so far.
double cpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double peakRssMB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0; // kB on Linux
}

using testsupport::runEventsFor;
using testsupport::waitUntil;

// A program beside the one measured (simulator, plain reader), kept out of its event loop:
// started with posix_spawn, its output read from a pipe only when asked for, its end waited
// for through a pidfd. A QProcess would add its pipe and process watches to the event loop,
// and every wake-up of the UI thread, whose cost is measured here, polls each of them.
class Helper {
public:
    Helper() = default;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_out, m_pidFd})
            if (fd >= 0)
                ::close(fd);
    }

    bool start(const QString& program, const QStringList& args) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        std::vector<std::string> argStrings{program.toStdString()};
        for (const QString& a : args)
            argStrings.push_back(a.toStdString());
        std::vector<char*> argv;
        for (auto& a : argStrings)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int e = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        m_out = pipeFds[0];
        if (e != 0) {
            m_pid = -1;
            return false;
        }
        m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
        return m_pidFd >= 0;
    }
    // Reads output until `text` has come, the output ended or the time is up.
    bool waitForOutput(const char* text, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (m_said.find(text) == std::string::npos) {
            const int left = timeoutMs - static_cast<int>(clock.elapsed());
            pollfd p{m_out, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                return false;
            char buffer[4096];
            const ssize_t n = ::read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                return m_said.find(text) != std::string::npos;
            m_said.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    bool waitForExit(int timeoutMs) {
        pollfd p{m_pidFd, POLLIN, 0};
        if (m_pidFd < 0 || ::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096]; // what is left in the pipe: the child has ended, so it ends too
        for (ssize_t n; (n = ::read(m_out, buffer, sizeof buffer)) > 0;)
            m_said.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_reaped = true;
        m_exitedWell = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return true;
    }
    void terminate(int timeoutMs) {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGTERM);
            waitForExit(timeoutMs);
        }
    }
    bool exitedWell() const { return m_exitedWell; }
    const std::string& said() const { return m_said; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_pidFd = -1;
    bool m_reaped = false;
    bool m_exitedWell = false;
    std::string m_said;
};

int fail(const std::string& why) {
    std::fprintf(stderr, "bench-download: %s\n", why.c_str());
    return 1;
}

// Lets the open finish what it left to the event loop. The port folder's watch may tell of the
// unit's port only after the open, and closes the port then: it is opened again.
bool settleOpenPort() {
    runEventsFor(500);
    return FormSerial->PortOpen || FormSerial->iOpenPort() == 0;
}

// One download size in this process. Prints its figures as "key value" lines.
int runOneSize(int megabytes) {
    testsupport::ProgramSandbox sandbox;
    if (!sandbox.ok())
        return fail("no temporary folder");
    const std::string root = sandbox.root();
    CreateProgramWindows(sandbox.locations());
    dialogs::ScriptedDialogs script;
    FormXRQMain->show();
    if (!waitUntil([] { return !TempFilesPath.empty(); }, 10000))
        return fail("main window not shown");

    // Records of about 60 bytes in eight data sets make up the requested size.
    const std::size_t records = static_cast<std::size_t>(megabytes) * 1000000 / 8 / 62;
    sim::SimOptions options;
    options.linkPath = TempFilesPath + "ports/COM" + std::to_string(kPort);
    options.baud = 0;
    options.dataSets = sim::generateDataSets(8, records, 60);
    std::unique_ptr<sim::PtyUnit> unit;
    try {
        unit = sim::PtyUnit::start(options);
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    FormSerial->ComPortNumber = kPort;
    if (FormSerial->iOpenPort() != 0)
        return fail("cannot open the simulator's port");
    if (!settleOpenPort())
        return fail("cannot open the simulator's port again");
    FormSetup->EditDataDirectory->setText(QString::fromStdString(root + "/data/"));
    QDir::setCurrent(QString::fromStdString(root + "/work"));

    // Without echo: the capture primitive alone into a file.
    download::CaptureSink noEcho;
    noEcho.attachIntermediate(
        ::open((root + "/work/noecho.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
        root + "/work/noecho.bin");
    FormXRQMain->CaptureFile = &noEcho;
    FormXRQMain->EchoCapture = false;
    QElapsedTimer clock;
    clock.start();
    double cpuBefore = cpuSeconds();
    const int noEchoResult = FormSerial->iCaptureTo("F", '>', 4000);
    const double noEchoSeconds = clock.elapsed() / 1000.0;
    const double noEchoCpu = cpuSeconds() - cpuBefore;
    const long noEchoBytes = static_cast<long>(noEcho.bytes());
    noEcho.finish();
    FormXRQMain->CaptureFile = nullptr;
    if (noEchoResult != 0)
        return fail("capture without echo timed out after " + std::to_string(noEchoBytes) +
                    " bytes");

    // With echo: the whole action, as the operator runs it.
    cpuBefore = cpuSeconds();
    FormXRQMain->ActionCollectExecute(nullptr);
    const double echoCpu = cpuSeconds() - cpuBefore;
    const download::RunFigures figures = FormXRQMain->LastDownload.figures;
    bool collected = false;
    for (const auto& box : script.shown)
        collected = collected || box.text.rfind("Data collected and placed in ", 0) == 0;
    if (!collected)
        return fail("the collection did not end with its success message");

    const double mb = 1e6;
    std::printf("size_MB %d\n", megabytes);
    std::printf("download_bytes %llu\n", static_cast<unsigned long long>(figures.captureBytes));
    std::printf("capture_MBps_echo %.2f\n", figures.captureBytes / mb / figures.captureSeconds);
    std::printf("capture_MBps_noecho %.2f\n", noEchoBytes / mb / noEchoSeconds);
    std::printf("convert_MBps %.2f\n", figures.captureBytes / mb / figures.convertSeconds);
    std::printf("peak_rss_MB %.1f\n", peakRssMB());
    // Rates per CPU second: what the code costs, apart from how busy the machine is.
    std::printf("cpu_MBps_noecho %.2f\n", noEchoBytes / mb / noEchoCpu);
    std::printf("cpu_MBps_echo_and_convert %.2f\n", figures.captureBytes / mb / echoCpu);
    std::fflush(stdout);

    FormSerial->iClosePort();
    unit->stop();
    DestroyProgramWindows();
    return 0;
}

std::map<std::string, std::string> parseFigures(const QByteArray& out) {
    std::map<std::string, std::string> figures;
    for (const QByteArray& line : out.split('\n')) {
        const auto parts = line.trimmed().split(' ');
        if (parts.size() == 2)
            figures[parts[0].toStdString()] = parts[1].toStdString();
    }
    return figures;
}

// Resident memory of this process now, in bytes.
double residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    double kb = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> kb;
            break;
        }
    }
    return kb * 1024.0;
}

// Context switches of each live thread of a process (this one by default), by thread id:
// its name, and its voluntary (it waited) and involuntary (it was preempted) switches.
// Seconds a thread has spent on a CPU, from its schedstat file (0 if it cannot be read).
double onCpuSeconds(const std::string& schedstatPath) {
    std::ifstream schedstat(schedstatPath);
    long long onCpuNs = 0;
    return schedstat >> onCpuNs ? onCpuNs / 1e9 : 0.0;
}

struct ThreadSwitches {
    QString name;
    long long waited = 0;
    long long preempted = 0;
    double cpu = 0; // seconds on a CPU
};

std::map<QString, ThreadSwitches> threadSwitches(const QString& pid = QStringLiteral("self")) {
    std::map<QString, ThreadSwitches> result;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream status(tasks.filePath(tid + "/status").toStdString());
        std::string key;
        ThreadSwitches t;
        while (status >> key) {
            if (key == "Name:") {
                std::string n;
                status >> n;
                t.name = QString::fromStdString(n);
            } else if (key == "voluntary_ctxt_switches:") {
                status >> t.waited;
            } else if (key == "nonvoluntary_ctxt_switches:") {
                status >> t.preempted;
            }
        }
        t.cpu = onCpuSeconds(tasks.filePath(tid + "/schedstat").toStdString());
        result[tid] = t;
    }
    return result;
}

// Context switches of every thread of a process so far: each one a wake-up or a preemption.
long long contextSwitches(qint64 pid) {
    long long total = 0;
    for (const auto& [tid, thread] : threadSwitches(QString::number(pid)))
        total += thread.waited + thread.preempted;
    return total;
}

// The program's windows in a temporary folder, with the simulator as a process of its own on
// the program's port folder, and the port open.
class ProgramWithOutsideUnit {
public:
    bool start(const QStringList& unitArgs, std::string& why) {
        if (!m_sandbox.ok()) {
            why = "no temporary folder";
            return false;
        }
        root = m_sandbox.root();
        CreateProgramWindows(m_sandbox.locations());
        FormXRQMain->show();
        if (!waitUntil([] { return !TempFilesPath.empty(); }, 10000)) {
            why = "main window not shown";
            return false;
        }
        const QString link =
            QString::fromStdString(TempFilesPath + "ports/COM" + std::to_string(kPort));
        if (!m_unit.start(QCoreApplication::applicationDirPath() + "/xrq-unit-sim",
                          QStringList{"--link", link} + unitArgs) ||
            !m_unit.waitForOutput("link:", 120000)) {
            why = "the simulator did not start";
            return false;
        }
        // The port folder's watch announces the new link after its settle time; an arrival
        // closes an open port, so the port is opened after it, as an operator would.
        runEventsFor(1000);
        FormSerial->ComPortNumber = kPort;
        if (FormSerial->iOpenPort() != 0) {
            why = "cannot open the simulator's port";
            return false;
        }
        FormSetup->EditDataDirectory->setText(QString::fromStdString(root + "/data/"));
        QDir::setCurrent(QString::fromStdString(root + "/work"));
        return true;
    }
    ~ProgramWithOutsideUnit() {
        if (FormSerial)
            FormSerial->iClosePort();
        DestroyProgramWindows();
        m_unit.terminate(10000);
    }

    dialogs::ScriptedDialogs script;
    std::string root;

private:
    testsupport::ProgramSandbox m_sandbox;
    Helper m_unit;
};

// One download of about N MB through the Collect Data action: the memory it added and the
// capture rate with echo.
int runEchoSize(int megabytes) {
    const std::size_t records = static_cast<std::size_t>(megabytes) * 1000000 / 8 / 62;
    ProgramWithOutsideUnit program;
    std::string why;
    if (!program.start({"--unpaced", "--generate", QStringLiteral("8:%1:60").arg(records)}, why))
        return fail(why);
    if (!settleOpenPort())
        return fail("cannot open the simulator's port again");
    const double before = residentBytes();
    FormXRQMain->ActionCollectExecute(nullptr);
    runEventsFor(500); // the echo's last refresh
    const double after = residentBytes();
    const download::RunFigures figures = FormXRQMain->LastDownload.figures;
    bool collected = false;
    for (const auto& box : program.script.shown)
        collected = collected || box.text.rfind("Data collected and placed in ", 0) == 0;
    if (!collected || figures.captureBytes == 0)
        return fail("the collection did not end with its success message");
    const double mb = figures.captureBytes / 1e6;
    std::printf("download_bytes %llu\n", static_cast<unsigned long long>(figures.captureBytes));
    std::printf("rss_MiB_per_MB %.2f\n", (after - before) / (1024.0 * 1024.0) / mb);
    std::printf("capture_MBps_echo %.2f\n", mb / figures.captureSeconds);
    std::fflush(stdout);
    return 0;
}

// Opens the port, talks to the unit once, says "idle" and then sits in the event loop until
// its standard input closes; the parent counts the wake-ups meanwhile.
int runIdle() {
    ProgramWithOutsideUnit program;
    std::string why;
    if (!program.start({"--unpaced"}, why))
        return fail(why);
    FormXRQMain->ActionCheckBatExecute(nullptr);
    std::printf("idle\n");
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QEventLoop loop;
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        char c;
        if (::read(STDIN_FILENO, &c, 1) <= 0)
            loop.quit();
    });
    loop.exec();
    return 0;
}

// CPU seconds and context switches of this process (every thread, ended ones included).
struct Usage {
    double cpu = 0;
    long long switches = 0;
};

Usage usageNow() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<long long>(usage.ru_nvcsw) + usage.ru_nivcsw};
}

// Opens a reader's line raw, blocking, a byte at least per read.
int openRaw(const char* link) {
    const int fd = ::open(link, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// The anchor of the line-rate run: what any program must spend to take the traffic off the
// line. Opens `link` raw, asks for the download and reads it with blocking read() until the
// prompt ends it.
int runPlainReader(const char* link) {
    const int fd = openRaw(link);
    if (fd < 0)
        return fail(std::string("plain reader: cannot open ") + link);
    const Usage before = usageNow();
    if (::write(fd, "F", 1) != 1)
        return fail("plain reader: cannot ask for the download");
    char buffer[4096];
    unsigned long long bytes = 0, chunks = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("plain reader: the line ended before the prompt");
        bytes += static_cast<unsigned long long>(n);
        ++chunks;
        if (std::memchr(buffer, '>', static_cast<std::size_t>(n)))
            break;
    }
    const Usage after = usageNow();
    ::close(fd);
    std::printf("plain_cpu_s %.4f\n", after.cpu - before.cpu);
    std::printf("plain_switches %lld\n", after.switches - before.switches);
    std::printf("plain_cpu_us_per_chunk %.0f\n", (after.cpu - before.cpu) * 1e6 / double(chunks));
    std::printf("plain_chunks %llu\n", chunks);
    std::printf("plain_bytes %llu\n", bytes);
    return 0;
}

// What the program's structure costs before any of its own work: a waiting thread that
// sleeps on the line, reads what came and hands it to a main thread over an eventfd, and goes
// back to waiting; the main thread sleeps in poll() on that eventfd, takes the bytes under a
// lock and writes them to a file. Two wake-ups per chunk where the plain reader has one, no
// toolkit, no port component, no echo.
int runHandOverReader(const char* link) {
    const int fd = openRaw(link);
    const int handOver = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event watch{};
    watch.events = EPOLLIN;
    if (fd < 0 || handOver < 0 || epoll < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &watch) != 0)
        return fail(std::string("hand-over reader: cannot set up on ") + link);
    QTemporaryFile log;
    if (!log.open())
        return fail("hand-over reader: no log file");
    std::mutex mutex;
    std::string received;
    bool ended = false;
    unsigned long long chunks = 0;
    double waiterCpu = 0;

    const Usage before = usageNow();
    if (::write(fd, "F", 1) != 1)
        return fail("hand-over reader: cannot ask for the download");
    std::thread waiter([&] {
        char buffer[4096];
        for (;;) {
            epoll_event ready{};
            if (::epoll_wait(epoll, &ready, 1, -1) < 0 && errno == EINTR)
                continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            bool last = n <= 0;
            {
                std::lock_guard lock(mutex);
                if (n > 0) {
                    received.append(buffer, static_cast<std::size_t>(n));
                    last = std::memchr(buffer, '>', static_cast<std::size_t>(n)) != nullptr;
                }
                ended = last;
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t w = ::write(handOver, &one, sizeof one);
            if (last) {
                waiterCpu = onCpuSeconds("/proc/thread-self/schedstat");
                return;
            }
        }
    });
    std::FILE* out = ::fdopen(::dup(log.handle()), "wb");
    for (bool done = false; !done;) {
        pollfd wait{handOver, POLLIN, 0};
        if (::poll(&wait, 1, -1) < 0)
            continue;
        std::uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(handOver, &count, sizeof count);
        std::string bytes;
        {
            std::lock_guard lock(mutex);
            bytes.swap(received);
            done = ended;
        }
        if (!bytes.empty()) {
            ++chunks;
            std::fwrite(bytes.data(), 1, bytes.size(), out);
        }
    }
    waiter.join();
    std::fclose(out);
    const Usage after = usageNow();
    ::close(epoll);
    ::close(handOver);
    ::close(fd);
    std::printf("handover_cpu_s %.4f\n", after.cpu - before.cpu);
    std::printf("handover_chunks %llu\n", chunks);
    std::printf("handover_waiter_us_per_chunk %.0f\n", waiterCpu * 1e6 / double(chunks));
    return 0;
}

// The traffic as a terminal program with a log file takes it: it sleeps in poll() on the line
// and the keyboard, reads what came, writes it to its log file and to its screen (here
// /dev/null, which costs less than a real terminal).
int runLoggingReader(const char* link) {
    const int fd = openRaw(link);
    int keyboard[2] = {-1, -1};
    const int screen = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    QTemporaryFile log;
    if (fd < 0 || ::pipe2(keyboard, O_CLOEXEC) != 0 || screen < 0 || !log.open())
        return fail(std::string("logging reader: cannot set up on ") + link);
    const Usage before = usageNow();
    if (::write(fd, "F", 1) != 1)
        return fail("logging reader: cannot ask for the download");
    char buffer[4096];
    unsigned long long chunks = 0;
    for (bool done = false; !done;) {
        pollfd watch[2] = {{fd, POLLIN, 0}, {keyboard[0], POLLIN, 0}};
        if (::poll(watch, 2, -1) < 0)
            continue;
        if (!(watch[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return fail("logging reader: the line ended before the prompt");
        ++chunks;
        if (::write(log.handle(), buffer, static_cast<std::size_t>(n)) != n ||
            ::write(screen, buffer, static_cast<std::size_t>(n)) != n)
            return fail("logging reader: cannot write");
        done = std::memchr(buffer, '>', static_cast<std::size_t>(n)) != nullptr;
    }
    const Usage after = usageNow();
    std::printf("logging_cpu_s %.4f\n", after.cpu - before.cpu);
    std::printf("logging_chunks %llu\n", chunks);
    return 0;
}

// A reader beside the program: its own simulator on its own pty, started together with the
// program's download so that the machine's state weighs on all of them alike.
struct OutsideReader {
    explicit OutsideReader(const char* m) : mode(m) {}
    const char* mode;
    QTemporaryDir dir;
    Helper unit;
    Helper reader;
    std::map<std::string, std::string> figures;

    QString link() const { return dir.path() + "/COM1"; }
    bool startUnit(const QString& generate) {
        return unit.start(QCoreApplication::applicationDirPath() + "/xrq-unit-sim",
                          {"--link", link(), "--baud", "19200", "--generate", generate}) &&
               unit.waitForOutput("link:", 120000);
    }
    bool finish() {
        if (!reader.waitForExit(10 * 60 * 1000) || !reader.exitedWell())
            return false;
        unit.terminate(10000);
        figures = parseFigures(QByteArray::fromStdString(reader.said()));
        return true;
    }
    double cpu(const char* key) { return std::atof(figures[key].c_str()); }
};

int runLineRate(const QString& self) {
    constexpr std::size_t kRecords = 100000 / 8 / 62; // about 100 kB in eight data sets
    const QString generate = QStringLiteral("8:%1:60").arg(kRecords);
    ProgramWithOutsideUnit program;
    std::string why;
    if (!program.start({"--baud", "19200", "--generate", generate}, why))
        return fail(why);

    // The anchor, a terminal program with a log file, and what the program's structure costs
    // by itself: the same traffic at the same pace, each on a pty of its own.
    OutsideReader plain("--plain-reader"), logging("--logging-reader"),
        handOver("--hand-over-reader");
    for (OutsideReader* outside : {&plain, &logging, &handOver})
        if (!outside->startUnit(generate))
            return fail(std::string("the simulator for ") + outside->mode + " did not start");
    if (!settleOpenPort())
        return fail("cannot open the simulator's port again");

    long long handOvers = 0;
    static const char countKey = 0;
    const TNotifyEvent session = FormSerial->SerialCom->OnRxChar();
    FormSerial->SerialCom->SetOnRxChar(
        TNotifyEvent::fromCallable(&countKey, nullptr, [session, &handOvers](QObject* sender) {
            ++handOvers;
            session(sender);
        }));

    for (OutsideReader* outside : {&plain, &logging, &handOver})
        if (!outside->reader.start(self, {outside->mode, outside->link()}))
            return fail(std::string("the reader ") + outside->mode + " did not start");
    const auto threadsBefore = threadSwitches();
    const Usage before = usageNow();
    FormXRQMain->ActionCollectExecute(nullptr);
    const Usage after = usageNow();
    for (const auto& [tid, thread] : threadSwitches()) {
        auto it = threadsBefore.find(tid);
        const ThreadSwitches was = it == threadsBefore.end() ? ThreadSwitches{} : it->second;
        const long long waited = thread.waited - was.waited;
        const long long preempted = thread.preempted - was.preempted;
        if (waited + preempted > handOvers / 10)
            std::printf("thread %s (%s): %.2f context switches per hand-over (%.2f waiting, "
                        "%.2f preempted), %.0f CPU us per hand-over\n",
                        qPrintable(thread.name), qPrintable(tid),
                        double(waited + preempted) / double(handOvers),
                        double(waited) / double(handOvers), double(preempted) / double(handOvers),
                        (thread.cpu - was.cpu) * 1e6 / double(handOvers));
    }
    FormSerial->SerialCom->SetOnRxChar(session);
    const download::RunFigures figures = FormXRQMain->LastDownload.figures;
    bool collected = false;
    for (const auto& box : program.script.shown)
        collected = collected || box.text.rfind("Data collected and placed in ", 0) == 0;
    if (!collected || figures.captureBytes == 0 || handOvers == 0) {
        for (const auto& box : program.script.shown)
            std::fprintf(stderr, "shown: %s\n", box.text.c_str());
        std::fprintf(stderr, "%llu bytes in %lld hand-overs\n",
                     static_cast<unsigned long long>(figures.captureBytes), handOvers);
        return fail("the collection did not end with its success message");
    }
    for (OutsideReader* outside : {&plain, &logging, &handOver})
        if (!outside->finish())
            return fail(std::string("the reader ") + outside->mode + " failed");
    const double plainCpu = plain.cpu("plain_cpu_s");
    const double loggingCpu = logging.cpu("logging_cpu_s");
    const double ourCpu = after.cpu - before.cpu;
    const long long switches = after.switches - before.switches;
    auto times = [plainCpu](double cpu) { return plainCpu > 0 ? cpu / plainCpu : 0.0; };

    std::printf("download_bytes %llu in %.1f s\n",
                static_cast<unsigned long long>(figures.captureBytes), figures.captureSeconds);
    std::printf("program: %.3f CPU s, %lld context switches, %lld hand-overs\n", ourCpu, switches,
                handOvers);
    std::printf("plain reader: %s CPU s, %s context switches, %s chunks, %s bytes, %s CPU us "
                "per chunk\n",
                plain.figures["plain_cpu_s"].c_str(), plain.figures["plain_switches"].c_str(),
                plain.figures["plain_chunks"].c_str(), plain.figures["plain_bytes"].c_str(),
                plain.figures["plain_cpu_us_per_chunk"].c_str());
    std::printf("logging reader (poll, read, log file, screen): %s CPU s, %s chunks, %.2f times "
                "the plain reader\n",
                logging.figures["logging_cpu_s"].c_str(), logging.figures["logging_chunks"].c_str(),
                times(loggingCpu));
    std::printf("hand-over reader (two threads, no toolkit): %s CPU s, %s chunks, %.2f times "
                "the plain reader, waiting thread %s CPU us per chunk\n",
                handOver.figures["handover_cpu_s"].c_str(),
                handOver.figures["handover_chunks"].c_str(), times(handOver.cpu("handover_cpu_s")),
                handOver.figures["handover_waiter_us_per_chunk"].c_str());
    std::printf("line_rate_cpu_ratio_logging %.2f\n", loggingCpu > 0 ? ourCpu / loggingCpu : 0.0);
    std::printf("line_rate_cpu_ratio %.2f\n", times(ourCpu));
    // The line's chunks as the plain reader sees them: the same pace on a pty of its own.
    const double lineChunks = std::atof(plain.figures["plain_chunks"].c_str());
    std::printf("ctx_switches_per_chunk %.2f\n",
                lineChunks > 0 ? double(switches) / lineChunks : 0.0);
    std::printf("ctx_switches_per_hand_over %.2f\n", double(switches) / double(handOvers));
    return 0;
}

int runEchoFigures(const QString& self) {
    std::map<std::string, std::string> last;
    for (int size : {16, 64}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, {"--echo-size", QString::number(size)});
        if (!child.waitForFinished(30 * 60 * 1000) || child.exitCode() != 0)
            return fail("the " + std::to_string(size) + " MB echo run failed");
        auto figures = parseFigures(child.readAllStandardOutput());
        std::printf("echo %d MB: rss_MiB_per_MB %s capture_MBps_echo %s\n", size,
                    figures["rss_MiB_per_MB"].c_str(), figures["capture_MBps_echo"].c_str());
        if (size == 16)
            last["capture_MBps_echo"] = figures["capture_MBps_echo"];
        last["rss_MiB_per_MB_" + std::to_string(size)] = figures["rss_MiB_per_MB"];
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(self, {"--idle"});
    if (!waitUntil([&] { return child.canReadLine() || child.state() == QProcess::NotRunning; },
                   120000) ||
        !child.readLine().startsWith("idle"))
        return fail("the idle run did not start");
    // Timers the last exchange started have run out by now.
    runEventsFor(1500);
    const long long before = contextSwitches(child.processId());
    QElapsedTimer clock;
    clock.start();
    runEventsFor(10000);
    const long long switches = contextSwitches(child.processId()) - before;
    const double seconds = clock.elapsed() / 1000.0;
    child.closeWriteChannel();
    if (!child.waitForFinished(60000) || child.exitCode() != 0)
        return fail("the idle run did not end cleanly");
    std::printf("idle %.1f s with the port open: %lld context switches\n", seconds, switches);

    std::printf("rss_MiB_per_MB_16 %s\n", last["rss_MiB_per_MB_16"].c_str());
    std::printf("rss_MiB_per_MB_64 %s\n", last["rss_MiB_per_MB_64"].c_str());
    std::printf("capture_MBps_echo %s\n", last["capture_MBps_echo"].c_str());
    std::printf("idle_wakeups_per_s %.2f\n", switches / seconds);
    return 0;
}

// The durability figures need the same work with and without the syncs. This program's own
// fsync and fdatasync take the place of the C library's for every caller in the process, and
// do nothing while syncsOn is false.
std::atomic<bool> syncsOn{true};

} // namespace

extern "C" int fsync(int fd) {
    return syncsOn ? static_cast<int>(::syscall(SYS_fsync, fd)) : 0;
}
extern "C" int fdatasync(int fd) {
    return syncsOn ? static_cast<int>(::syscall(SYS_fdatasync, fd)) : 0;
}

namespace {

std::string downloadText(const std::vector<sim::DataSet>& sets) {
    std::string text = "F\r\n* XRQ data logger\r\n";
    for (const auto& set : sets) {
        text += "Name: " + set.name + "\r\n";
        for (const auto& r : set.records)
            text += r + "\r\n";
    }
    return text + ">";
}

// Median seconds of `runs` conversions of `text` into fresh folders under `root`.
double convertSeconds(const std::string& root, const std::string& text, bool syncs, int runs,
                      std::size_t& files) {
    const std::string intermediate = root + "/intermediate.txt";
    {
        std::ofstream out(intermediate, std::ios::binary);
        out << text;
    }
    std::vector<double> times;
    static int folder = 0;
    for (int i = 0; i < runs; ++i) {
        const std::string dir = root + "/data" + std::to_string(folder++) + "/";
        QDir().mkpath(QString::fromStdString(dir));
        ::sync(); // the page cache of the earlier run does not spill into this one
        syncsOn = syncs;
        QElapsedTimer clock;
        clock.start();
        const auto outcome = download::convertIntermediateFile(intermediate, dir);
        times.push_back(clock.nsecsElapsed() / 1e9);
        syncsOn = true;
        files = outcome.files.size();
        if (outcome.result != download::ConvertResult::Collected)
            return -1;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Seconds the capture's end takes (the intermediate file's fdatasync, the kept copy's fsync
// and its folder's) after `bytes` arrived in 4 kB chunks.
double captureEndSeconds(const std::string& root, std::size_t bytes, bool syncs) {
    static int n = 0;
    const std::string path = root + "/capture" + std::to_string(n++) + ".txt";
    download::CaptureSink sink;
    sink.attachIntermediate(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                            path);
    if (!sink.createKept(root + "/kept" + std::to_string(n) + "/"))
        return -1;
    const std::string chunk(4096, 'x');
    for (std::size_t done = 0; done < bytes; done += chunk.size())
        sink.write(chunk);
    syncsOn = syncs;
    QElapsedTimer clock;
    clock.start();
    const bool ok = sink.finish();
    const double seconds = clock.nsecsElapsed() / 1e9;
    syncsOn = true;
    return ok ? seconds : -1;
}

} // namespace

static int runDurability() {
    // On the disk the program's folders are on, not a memory file system.
    QTemporaryDir dir(QDir::current().absoluteFilePath(QStringLiteral("bench-durability-XXXXXX")));
    if (!dir.isValid())
        return fail("cannot make a folder here");
    const std::string root = dir.path().toStdString();
    const int runs = 5;
    std::size_t files = 0;

    const std::string many = downloadText(sim::generateDataSets(1000, 20));
    const double manyOff = convertSeconds(root, many, false, runs, files);
    const double manyOn = convertSeconds(root, many, true, runs, files);
    if (manyOff < 0 || manyOn < 0 || files != 1000)
        return fail("the 1000-data-set conversion failed");
    std::printf("sets1000_bytes %zu\n", many.size());
    std::printf("sets1000_convert_s_nosync %.3f\n", manyOff);
    std::printf("sets1000_convert_s_durable %.3f\n", manyOn);
    std::printf("sets1000_durability_adds_s %.3f\n", manyOn - manyOff);

    // 16 MB in 16 data sets, as a long field campaign of few sites gives.
    std::string big = downloadText(sim::generateDataSets(16, 16 * 1000 * 1000 / 16 / 100, 98));
    const double bigOff = convertSeconds(root, big, false, runs, files);
    const double bigOn = convertSeconds(root, big, true, runs, files);
    if (bigOff < 0 || bigOn < 0)
        return fail("the 16 MB conversion failed");
    const double mb = big.size() / 1e6;
    std::printf("mb16_bytes %zu\n", big.size());
    std::printf("mb16_convert_MBps_nosync %.1f\n", mb / bigOff);
    std::printf("mb16_convert_MBps_durable %.1f\n", mb / bigOn);

    const double endOff = captureEndSeconds(root, big.size(), false);
    const double endOn = captureEndSeconds(root, big.size(), true);
    if (endOff < 0 || endOn < 0)
        return fail("the capture's end failed");
    std::printf("mb16_capture_end_s_nosync %.3f\n", endOff);
    std::printf("mb16_capture_end_s_durable %.3f\n", endOn);
    return 0;
}

int main(int argc, char** argv) {
    // The readers beside the program stay plain programs: no toolkit, nothing but their work.
    if (argc == 3 && std::strcmp(argv[1], "--plain-reader") == 0)
        return runPlainReader(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--hand-over-reader") == 0)
        return runHandOverReader(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--logging-reader") == 0)
        return runLoggingReader(argv[2]);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == "--size")
        return runOneSize(args[2].toInt());
    if (args.size() == 3 && args[1] == "--echo-size")
        return runEchoSize(args[2].toInt());
    if (args.size() == 2 && args[1] == "--idle")
        return runIdle();
    if (args.size() == 2 && args[1] == "--echo")
        return runEchoFigures(app.applicationFilePath());
    if (args.size() == 2 && args[1] == "--line-rate")
        return runLineRate(app.applicationFilePath());
    if (args.size() == 2 && args[1] == "--durability")
        return runDurability();

    const char* keys[] = {"capture_MBps_echo", "capture_MBps_noecho", "convert_MBps",
                          "peak_rss_MB"};
    std::map<std::string, std::string> at16;
    std::printf("%-8s %18s %20s %13s %12s\n", "size_MB", "capture_MBps_echo", "capture_MBps_noecho",
                "convert_MBps", "peak_rss_MB");
    for (int size : {1, 16, 64}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(app.applicationFilePath(), {"--size", QString::number(size)});
        if (!child.waitForFinished(30 * 60 * 1000) || child.exitCode() != 0)
            return fail("the " + std::to_string(size) + " MB run failed");
        auto figures = parseFigures(child.readAllStandardOutput());
        std::printf("%-8d %18s %20s %13s %12s %16s %26s\n", size, figures[keys[0]].c_str(),
                    figures[keys[1]].c_str(), figures[keys[2]].c_str(), figures[keys[3]].c_str(),
                    figures["cpu_MBps_noecho"].c_str(),
                    figures["cpu_MBps_echo_and_convert"].c_str());
        if (size == 16)
            at16 = figures;
    }
    for (const char* key : keys)
        std::printf("%s %s\n", key, at16[key].c_str());
    return 0;
}
