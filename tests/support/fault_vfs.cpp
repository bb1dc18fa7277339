// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fault_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace faultvfs {

namespace {

std::atomic<int> writesToFail{0};
std::atomic<int> writeCode{SQLITE_IOERR_WRITE};
std::atomic<int> syncsToFail{0};
std::atomic<int> readsToFail{0};
std::atomic<int> readCode{SQLITE_IOERR_READ};
std::atomic<int> failed{0};

sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs faultVfs;
sqlite3_io_methods methods;

struct File {
    sqlite3_file base;
    sqlite3_file* real; // the real VFS's file, just after this one
};

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<File*>(f)->real;
}

bool takeOne(std::atomic<int>& counter) {
    int n = counter.load();
    while (n > 0)
        if (counter.compare_exchange_weak(n, n - 1)) {
            ++failed;
            return true;
        }
    return false;
}

int xClose(sqlite3_file* f) {
    return real(f)->pMethods->xClose(real(f));
}
int xRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
    if (takeOne(readsToFail))
        return readCode.load();
    return real(f)->pMethods->xRead(real(f), b, n, o);
}
int xWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (takeOne(writesToFail))
        return writeCode.load();
    return real(f)->pMethods->xWrite(real(f), b, n, o);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
    return real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
    if (takeOne(syncsToFail))
        return SQLITE_IOERR_FSYNC;
    return real(f)->pMethods->xSync(real(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int xLock(sqlite3_file* f, int l) {
    return real(f)->pMethods->xLock(real(f), l);
}
int xUnlock(sqlite3_file* f, int l) {
    return real(f)->pMethods->xUnlock(real(f), l);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int xSectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int xDeviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** p) {
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, p);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}
int xFetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
    return real(f)->pMethods->xFetch(real(f), o, n, p);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 o, void* p) {
    return real(f)->pMethods->xUnfetch(real(f), o, p);
}

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    auto* f = reinterpret_cast<File*>(file);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    const int rc = realVfs->xOpen(realVfs, name, f->real, flags, outFlags);
    f->base.pMethods = f->real->pMethods ? &methods : nullptr;
    return rc;
}

} // namespace

void install() {
    static std::once_flag once;
    std::call_once(once, [] {
        realVfs = sqlite3_vfs_find(nullptr);
        faultVfs = *realVfs;
        faultVfs.zName = "xrq-fault";
        faultVfs.szOsFile = static_cast<int>(sizeof(File)) + realVfs->szOsFile;
        faultVfs.xOpen = xOpen;
        methods = sqlite3_io_methods{3,
                                     xClose,
                                     xRead,
                                     xWrite,
                                     xTruncate,
                                     xSync,
                                     xFileSize,
                                     xLock,
                                     xUnlock,
                                     xCheckReservedLock,
                                     xFileControl,
                                     xSectorSize,
                                     xDeviceCharacteristics,
                                     xShmMap,
                                     xShmLock,
                                     xShmBarrier,
                                     xShmUnmap,
                                     xFetch,
                                     xUnfetch};
        sqlite3_vfs_register(&faultVfs, 1);
    });
}

void failWrites(int count, int code) {
    writeCode = code;
    writesToFail = count;
}

void failReads(int count, int code) {
    readCode = code;
    readsToFail = count;
}

void failSyncs(int count) {
    syncsToFail = count;
}

int failedSoFar() {
    return failed.load();
}

std::string journalModeOf(const std::string& path) {
    sqlite3* db = nullptr;
    std::string mode;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW)
            mode = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return mode;
}

} // namespace faultvfs
