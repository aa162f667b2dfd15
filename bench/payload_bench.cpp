// Side-by-side measurements for the payload format on one corpus, in one run, so that the
// ratios compare like with like on a shared machine: decoding against memcpy, zlib and LZ4,
// the encoder levels, the scrambler, the integrity hash, and mkupdate extract against tar -xf
// and tar -xzf.
// Usage: payload_bench CORPUS_DIR MKUPDATE WORK_DIR RESULTS_FILE [CORPUS_NAME]
#include <lz4.h>
#include <lz4hc.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "archive/scramble.h"
#include "archive/sha256.h"
#include "payload/compress.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct File {
    std::string name;
    std::vector<uint8_t> bytes;
};

struct Codec {
    const char* name;
    std::vector<std::vector<uint8_t>> packed; // one stream per file
    size_t packedSize = 0;
    double encodeSeconds = 0;
    double decodeSeconds = 0;
};

std::vector<File> LoadCorpus(const fs::path& dir) {
    std::vector<File> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        files.push_back(File{e.path().filename().string(),
                             std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                                  std::istreambuf_iterator<char>())});
    }
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return a.name < b.name; });
    return files;
}

// The best of several timed passes, each at least a few, for at least half a second in all.
double BestSeconds(const std::function<void()>& pass) {
    double best = 1e30, total = 0;
    for (int runs = 0; runs < 3 || (total < 0.5 && runs < 50); ++runs) {
        const auto t0 = Clock::now();
        pass();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        best = std::min(best, s);
        total += s;
    }
    return best;
}

void Check(bool ok, const std::string& what) {
    if (!ok) {
        fprintf(stderr, "payload_bench: %s\n", what.c_str());
        exit(1);
    }
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// Runs a command line through the shell, timed. posix_spawn does not copy this big process
// first, so both commands start alike.
double RunTimed(const std::string& command) {
    const auto t0 = Clock::now();
    pid_t pid;
    const char* args[] = {"sh", "-c", command.c_str(), nullptr};
    Check(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, (char* const*)args, environ) == 0,
          "cannot run " + command);
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "failed: " + command);
    return s;
}

// The peak resident memory of a command, in KiB, as GNU time measures it: the kernel's own
// figure for a child would include the image of the process that forked it.
long PeakKiB(const std::string& command, const fs::path& work) {
    const fs::path report = work / "peak.txt";
    RunTimed("/usr/bin/time -f %M -o " + Quote(report.string()) + " " + command);
    std::ifstream in(report);
    long kib = 0;
    in >> kib;
    return kib;
}

struct ExtractTimes {
    double mkupdate = 1e30, tar = 1e30, tarGz = 1e30;
};

// The best of five runs each of mkupdate extract of the payload and of tar -xf and tar -xzf of
// archives of the same files, each into a fresh folder.
ExtractTimes TimeExtracts(const std::string& mkupdate, const fs::path& payload, const fs::path& tar,
                          const fs::path& tarGz, const fs::path& work) {
    ExtractTimes t;
    const fs::path out = work / "extracted";
    const std::string into = Quote(out.string());
    for (int run = 0; run < 5; ++run) {
        fs::remove_all(out);
        t.mkupdate = std::min(t.mkupdate, RunTimed(Quote(mkupdate) + " extract " +
                                                   Quote(payload.string()) + " -d " + into));
        fs::remove_all(out);
        fs::create_directories(out);
        t.tar = std::min(t.tar, RunTimed("tar -xf " + Quote(tar.string()) + " -C " + into));
        fs::remove_all(out);
        fs::create_directories(out);
        t.tarGz = std::min(t.tarGz, RunTimed("tar -xzf " + Quote(tarGz.string()) + " -C " + into));
    }
    fs::remove_all(out);
    return t;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s CORPUS_DIR MKUPDATE WORK_DIR RESULTS_FILE [CORPUS_NAME]\n",
                argv[0]);
        return 2;
    }
    const fs::path corpus = argv[1], work = argv[3];
    const std::string mkupdate = argv[2];
    const std::vector<File> files = LoadCorpus(corpus);
    size_t total = 0, largest = 0;
    for (const File& f : files) {
        total += f.bytes.size();
        largest = std::max(largest, f.bytes.size());
    }
    Check(total > 0, "empty corpus");
    std::vector<std::vector<uint8_t>> out(files.size());
    for (size_t i = 0; i < files.size(); ++i)
        out[i].resize(files[i].bytes.size());
    const auto expectSame = [&](const char* who) {
        for (size_t i = 0; i < files.size(); ++i)
            Check(out[i] == files[i].bytes,
                  std::string(who) + " did not round-trip " + files[i].name);
    };

    std::vector<Codec> codecs;
    const auto encode = [&](const char* name,
                            const std::function<void(const File&, std::vector<uint8_t>*)>& fn) {
        Codec c;
        c.name = name;
        c.packed.resize(files.size());
        const auto t0 = Clock::now();
        for (size_t i = 0; i < files.size(); ++i)
            fn(files[i], &c.packed[i]);
        c.encodeSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
        for (const auto& p : c.packed)
            c.packedSize += p.size();
        codecs.push_back(std::move(c));
    };
    encode("payload best", [](const File& f, std::vector<uint8_t>* p) {
        CompressBlock(f.bytes.data(), f.bytes.size(), kCompressBest, p);
    });
    encode("payload fast", [](const File& f, std::vector<uint8_t>* p) {
        CompressBlock(f.bytes.data(), f.bytes.size(), kCompressFast, p);
    });
    for (int level : {6, 9})
        encode(level == 6 ? "zlib -6" : "zlib -9", [level](const File& f, std::vector<uint8_t>* p) {
            uLongf n = compressBound(f.bytes.size());
            p->resize(n);
            compress2(p->data(), &n, f.bytes.data(), f.bytes.size(), level);
            p->resize(n);
        });
    encode("lz4", [](const File& f, std::vector<uint8_t>* p) {
        p->resize((size_t)LZ4_compressBound((int)f.bytes.size()));
        p->resize((size_t)LZ4_compress_default((const char*)f.bytes.data(), (char*)p->data(),
                                               (int)f.bytes.size(), (int)p->size()));
    });
    encode("lz4hc -9", [](const File& f, std::vector<uint8_t>* p) {
        p->resize((size_t)LZ4_compressBound((int)f.bytes.size()));
        p->resize((size_t)LZ4_compress_HC((const char*)f.bytes.data(), (char*)p->data(),
                                          (int)f.bytes.size(), (int)p->size(), 9));
    });

    for (Codec& c : codecs) {
        const std::string name = c.name;
        std::function<void()> pass;
        if (name.rfind("payload", 0) == 0)
            pass = [&] {
                for (size_t i = 0; i < files.size(); ++i)
                    Decompress(out[i].data(), out[i].size(), c.packed[i].data(),
                               c.packed[i].size());
            };
        else if (name.rfind("zlib", 0) == 0)
            pass = [&] {
                for (size_t i = 0; i < files.size(); ++i) {
                    uLongf n = out[i].size();
                    uncompress(out[i].data(), &n, c.packed[i].data(), c.packed[i].size());
                }
            };
        else
            pass = [&] {
                for (size_t i = 0; i < files.size(); ++i)
                    LZ4_decompress_safe((const char*)c.packed[i].data(), (char*)out[i].data(),
                                        (int)c.packed[i].size(), (int)out[i].size());
            };
        for (auto& o : out)
            std::fill(o.begin(), o.end(), 0);
        c.decodeSeconds = BestSeconds(pass);
        expectSame(c.name);
    }
    const double memcpySeconds = BestSeconds([&] {
        for (size_t i = 0; i < files.size(); ++i)
            memcpy(out[i].data(), files[i].bytes.data(), out[i].size());
    });

    // The scrambler over the whole corpus as one block, against memcpy of the same block.
    std::vector<uint8_t> block, copy;
    for (const File& f : files)
        block.insert(block.end(), f.bytes.begin(), f.bytes.end());
    copy.resize(block.size());
    const double scrambleSeconds =
        BestSeconds([&] { Scramble(block.data(), (uint32_t)block.size()); });
    const double blockCopySeconds =
        BestSeconds([&] { memcpy(copy.data(), block.data(), block.size()); });
    // The integrity data's hash over the same block, on each path this processor has.
    uint8_t digest[kSha256Size];
    double shaSeconds[2] = {0, 0};
    for (Sha256Path path : {kSha256Portable, kSha256Accelerated})
        if (Sha256UsePath(path))
            shaSeconds[path] = BestSeconds([&] { Sha256(block.data(), block.size(), digest); });
    Sha256UsePath(Sha256HasAcceleration() ? kSha256Accelerated : kSha256Portable);

    // End to end, through the programs: the corpus payload extracted by mkupdate, and tar
    // archives of the same files (plain and gzip) extracted by tar.
    fs::create_directories(work);
    const fs::path payload = work / "corpus.qv2";
    const fs::path tar = work / "corpus.tar", tarGz = work / "corpus.tar.gz";
    RunTimed(Quote(mkupdate) + " pack " + Quote(corpus.string()) + " -o " +
             Quote(payload.string()));
    RunTimed("tar -cf " + Quote(tar.string()) + " -C " + Quote(corpus.string()) + " .");
    RunTimed("tar -czf " + Quote(tarGz.string()) + " -C " + Quote(corpus.string()) + " .");
    const size_t payloadSize = (size_t)fs::file_size(payload);
    const std::string extract = Quote(mkupdate) + " extract " + Quote(payload.string()) + " -d " +
                                Quote((work / "extracted").string());
    const ExtractTimes disk = TimeExtracts(mkupdate, payload, tar, tarGz, work);
    // The same in memory, where the writes cost least and the decoding shows most.
    ExtractTimes mem;
    const fs::path shm = "/dev/shm";
    const bool haveShm = fs::is_directory(shm);
    if (haveShm) {
        const fs::path memWork = shm / ("payload-bench-" + std::to_string(getpid()));
        fs::create_directories(memWork);
        for (const fs::path& f : {payload, tar, tarGz})
            fs::copy_file(f, memWork / f.filename());
        mem = TimeExtracts(mkupdate, memWork / payload.filename(), memWork / tar.filename(),
                           memWork / tarGz.filename(), memWork);
        fs::remove_all(memWork);
    }
    const long peakKiB = PeakKiB(extract, work);
    fs::remove_all(work / "extracted");

    const auto mbps = [&](double seconds) { return (double)total / seconds / 1e6; };
    const Codec& best = codecs[0];
    const Codec& fast = codecs[1];
    const Codec& zlib6 = codecs[2];
    const Codec& zlib9 = codecs[3];
    const Codec& lz4hc = codecs[5];
    std::string table;
    char line[256];
    snprintf(line, sizeof line, "corpus %s: %zu files, %.1f MB, largest %.1f MB\n\n",
             argc == 6 ? argv[5] : corpus.filename().c_str(), files.size(), total / 1e6,
             largest / 1e6);
    table += line;
    snprintf(line, sizeof line, "%-14s %12s %8s %12s %12s\n", "method", "size (bytes)", "ratio",
             "encode MB/s", "decode MB/s");
    table += line;
    for (const Codec& c : codecs) {
        snprintf(line, sizeof line, "%-14s %12zu %8.4f %12.1f %12.1f\n", c.name, c.packedSize,
                 (double)c.packedSize / total, mbps(c.encodeSeconds), mbps(c.decodeSeconds));
        table += line;
    }
    snprintf(line, sizeof line, "%-14s %12zu %8.4f %12s %12.1f\n", "memcpy", total, 1.0, "-",
             mbps(memcpySeconds));
    table += line;
    snprintf(line, sizeof line, "\nscramble %.2f GB/s, memcpy of the same block %.2f GB/s\n",
             block.size() / scrambleSeconds / 1e9, block.size() / blockCopySeconds / 1e9);
    table += line;
    snprintf(line, sizeof line, "sha256 %.2f GB/s portable, %.2f GB/s with SHA extensions%s\n",
             block.size() / shaSeconds[0] / 1e9,
             shaSeconds[1] ? block.size() / shaSeconds[1] / 1e9 : 0.0,
             shaSeconds[1] ? "" : " (not on this processor)");
    table += line;
    snprintf(line, sizeof line,
             "mkupdate extract %.3f s (peak %.1f MB), tar -xf %.3f s, tar -xzf %.3f s; payload "
             "%.1f MB, tar.gz %.1f MB\n",
             disk.mkupdate, peakKiB / 1024.0, disk.tar, disk.tarGz, payloadSize / 1e6,
             fs::file_size(tarGz) / 1e6);
    table += line;
    if (haveShm) {
        snprintf(line, sizeof line,
                 "on tmpfs: mkupdate extract %.3f s, tar -xf %.3f s, tar -xzf %.3f s\n",
                 mem.mkupdate, mem.tar, mem.tarGz);
        table += line;
    }
    table += "\n";
    const auto ratio = [&](const char* what, double value, const char* target, bool met) {
        snprintf(line, sizeof line, "%-52s %7.3f  target %-7s %s\n", what, value, target,
                 met ? "met" : "NOT MET");
        table += line;
    };
    const double vsInflate6 = zlib6.decodeSeconds / best.decodeSeconds;
    const double vsInflate9 = zlib9.decodeSeconds / best.decodeSeconds;
    ratio("Decompress / zlib -6 inflate (throughput)", vsInflate6, ">= 2.0", vsInflate6 >= 2.0);
    ratio("Decompress / zlib -9 inflate (throughput)", vsInflate9, ">= 2.0", vsInflate9 >= 2.0);
    ratio("Decompress / memcpy (throughput)", memcpySeconds / best.decodeSeconds, "-", true);
    const double vsLz4hc = (double)best.packedSize / lz4hc.packedSize;
    const double vsZlib9 = (double)best.packedSize / zlib9.packedSize;
    ratio("best level size / lz4hc -9 size", vsLz4hc, "<= 1.0", vsLz4hc <= 1.0);
    ratio("best level size / zlib -9 size", vsZlib9, "<= 1.13", vsZlib9 <= 1.13);
    ratio("fast level size / zlib -9 size", (double)fast.packedSize / zlib9.packedSize, "-", true);
    const double scramble = blockCopySeconds / scrambleSeconds;
    ratio("scramble / memcpy (throughput)", scramble, ">= 0.7", scramble >= 0.7);
    ratio("mkupdate extract / tar -xf (time, build tree's disk)", disk.mkupdate / disk.tar, "-",
          true);
    const double vsGz = disk.mkupdate / disk.tarGz;
    ratio("mkupdate extract / tar -xzf (time, build tree's disk)", vsGz, "-", true);
    if (haveShm) {
        ratio("mkupdate extract / tar -xf (time, tmpfs)", mem.mkupdate / mem.tar, "-", true);
        const double memVsGz = mem.mkupdate / mem.tarGz;
        ratio("mkupdate extract / tar -xzf (time, tmpfs)", memVsGz, "-", true);
    }
    const double memory = peakKiB * 1024.0 / (double)(payloadSize + 2 * largest);
    ratio("extract peak memory / (payload + 2 x largest)", memory, "<= 1.0", memory <= 1.0);

    fputs(table.c_str(), stdout);
    std::ofstream results(argv[4]);
    results << table;
    return 0;
}
