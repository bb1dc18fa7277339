// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict against every damage one byte can do on the line: a clean download of three
// data sets with one byte deleted or one inserted at every position, converted for real. None
// may be called safe unless its data files are byte for byte those of the clean download.
#include "download/data_collection.h"
#include "download/download_verdict.h"
#include "support/read_file.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

using namespace download;
namespace fs = std::filesystem;

namespace {

using testsupport::readFile;

// A temporary folder where syncs cost nothing (a tmpfs where the machine has one): the sweep
// converts thousands of downloads.
QString quickFolder() {
    const fs::path shm = "/dev/shm";
    std::error_code ec;
    if (fs::is_directory(shm, ec) && ::access(shm.c_str(), W_OK) == 0)
        return QString::fromStdString(shm.string() + "/xrq-sweep-XXXXXX");
    return {};
}

struct Judged {
    bool safe = false;
    std::map<std::string, std::string> files; // name -> bytes
    std::string reasons;
};

class VerdictSweep : public ::testing::Test {
protected:
    void SetUp() override {
        const QString pattern = quickFolder();
        tmp = pattern.isEmpty() ? std::make_unique<QTemporaryDir>()
                                : std::make_unique<QTemporaryDir>(pattern);
        ASSERT_TRUE(tmp->isValid());
        root = tmp->path().toStdString();
        intermediate = root + "/_$XRQInt.txt";
    }

    // Converts and judges as a download does once the capture has ended with the prompt.
    Judged judge(const std::string& download) {
        const std::string dataDir = root + "/data/";
        fs::remove_all(dataDir);
        fs::create_directory(dataDir);
        std::ofstream(intermediate, std::ios::binary | std::ios::trunc) << download;
        const ConvertOutcome out = convertIntermediateFile(intermediate, dataDir);
        VerdictFacts facts;
        facts.endedWithPrompt = true;
        facts.everySetWritten =
            out.result == ConvertResult::Collected || out.result == ConvertResult::NoData;
        facts.filesDurable = out.durable && out.readBack;
        facts.keptDurable = true;
        facts.promptInside = facts.everySetWritten && downloadMayBeIncomplete(out, 0);
        facts.lines = &out.lines;
        Judged judged;
        const auto reasons = verdictReasons(facts);
        judged.safe = reasons.empty();
        for (const auto& r : reasons)
            judged.reasons += r + " | ";
        for (const auto& f : fs::directory_iterator(dataDir))
            judged.files[f.path().filename().string()] = readFile(f.path());
        return judged;
    }

    std::unique_ptr<QTemporaryDir> tmp;
    std::string root, intermediate;
};

const std::string kClean =
    "\r\n* XRQ data logger S/N XRQ10472\r\n* Clock 24-03-01 12:00:00\r\n"
    "FILE DUMP\r\n"
    "Name: ALPHA\r\n24-03-01 10:00:00, 1.5, 2\r\n24-03-01 10:10:00, 1.6, 2\r\n"
    "Name: BRAVO\r\n24-03-01 10:00:00, 7.25\r\n* recalibrated\r\n"
    "24-03-01 10:20:00, 7.5\r\n"
    "Name: CHARLIE\r\n24-03-01 11:00:00, 3\r\n24-03-01 11:05:00, 4\r\n>";

// Where each byte of kClean stands: in a name line before its ':' (or the ':' itself), in a
// record, or elsewhere.
enum class Place { NameBeforeColon, NameColon, Record, Other };

std::vector<Place> places(const std::string& text) {
    std::vector<Place> out(text.size(), Place::Other);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t lf = text.find('\n', at);
        if (lf == std::string::npos)
            lf = text.size();
        const std::string_view line(text.data() + at, lf - at);
        const auto kind = classifyLine(line);
        const auto colon = line.find(':');
        for (std::size_t i = 0; i < line.size() && line[i] != '\r'; ++i) {
            if (kind == LineKind::Header)
                out[at + i] = i < colon    ? Place::NameBeforeColon
                              : i == colon ? Place::NameColon
                                           : Place::Other;
            else if (kind == LineKind::Data && at > 0)
                out[at + i] = Place::Record;
        }
        at = lf + 1;
    }
    return out;
}

} // namespace

TEST_F(VerdictSweep, NoSingleByteLostOrAddedOnTheLineEndsSafeWithOtherFiles) {
    const Judged clean = judge(kClean);
    ASSERT_TRUE(clean.safe) << clean.reasons;
    ASSERT_EQ(clean.files.size(), 3u);

    const std::vector<Place> where = places(kClean);
    const char inserted[] = {'\r', '\n', '\0', '>', '\x13'};
    std::size_t variants = 0, safeSame = 0, safeDifferent = 0;
    // A ':' deleted from a record's time changes the record's own text, as a changed digit
    // would: no rule on one download can see it (the line keeps its shape). Counted apart;
    // reading the memory twice before a clear is what stands against such changes.
    std::size_t recordColons = 0, recordColonsSafe = 0;
    std::string firstHole;
    auto check = [&](const std::string& variant, const std::string& what) {
        ++variants;
        const Judged judged = judge(variant);
        if (!judged.safe)
            return;
        if (judged.files == clean.files) {
            ++safeSame;
            return;
        }
        ++safeDifferent;
        if (firstHole.empty())
            firstHole = what;
        ADD_FAILURE() << what << " ends safe with other files";
    };
    for (std::size_t i = 0; i <= kClean.size(); ++i) {
        for (const char c : inserted) {
            std::string variant = kClean;
            variant.insert(variant.begin() + static_cast<std::ptrdiff_t>(i), c);
            check(variant, "byte " + std::to_string(static_cast<unsigned char>(c)) +
                               " inserted at " + std::to_string(i));
        }
        if (i == kClean.size())
            break;
        const char byte = kClean[i];
        const bool lineEnd = byte == '\r' || byte == '\n';
        const bool nameByte = where[i] == Place::NameBeforeColon || where[i] == Place::NameColon;
        if (byte == ':' && where[i] == Place::Record) {
            ++recordColons;
            std::string variant = kClean;
            variant.erase(i, 1);
            const Judged judged = judge(variant);
            recordColonsSafe += judged.safe && judged.files != clean.files;
            continue;
        }
        if (!lineEnd && !nameByte)
            continue;
        std::string variant = kClean;
        variant.erase(i, 1);
        check(variant, "byte " + std::to_string(static_cast<unsigned char>(byte)) + " deleted at " +
                           std::to_string(i));
    }
    RecordProperty("variants", static_cast<int>(variants));
    std::printf("verdict sweep: %zu positions, %zu variants, %zu safe with the same files, %zu "
                "safe with other files; %zu ':' deleted from records (%zu of them unseen, "
                "beyond one download)\n",
                kClean.size() + 1, variants, safeSame, safeDifferent, recordColons,
                recordColonsSafe);
    EXPECT_EQ(safeDifferent, 0u) << "first: " << firstHole;
    EXPECT_GT(variants, 5 * kClean.size());
}
