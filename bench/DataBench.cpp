// Costs of the data layer against a peer measured in the same run: a settings save in one
// transaction against value-by-value saves, and a MacBinary TEXT conversion against a plain
// copy of the same bytes.
#include "data/AppSettings.h"
#include "data/MacBinary.h"
#include "data/PhoneBook.h"
#include "platform/Registry.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A scratch folder holding the configuration and data folders of one benchmark.
class Scratch {
  public:
    Scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sendari-bench-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data()) ? pattern : std::string();
        setenv("XDG_CONFIG_HOME", (m_path / "config").c_str(), 1);
        setenv("SENDARI_HOME", (m_path / "data").c_str(), 1);
        platform::ReloadRegistry();
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

void BM_SaveSettingsInOneTransaction(benchmark::State& state) {
    Scratch scratch;
    data::AppSettings settings;
    data::LoadSettings(settings);
    for (auto _ : state)
        benchmark::DoNotOptimize(data::SaveSettings(settings));
}
BENCHMARK(BM_SaveSettingsInOneTransaction);

void BM_SaveSettingsValueByValue(benchmark::State& state) {
    Scratch scratch;
    data::AppSettings settings;
    data::LoadSettings(settings);
    for (auto _ : state) {
        for (const data::SettingDescriptor& d : data::kSettingDescriptors) {
            if (d.number)
                platform::WriteRegistryNumber(platform::HKEY_CURRENT_USER, data::kSettingsKey,
                                              d.name, settings.*d.number);
            else
                platform::WriteRegistryString(platform::HKEY_CURRENT_USER, data::kSettingsKey,
                                              d.name, settings.*d.text);
        }
    }
}
BENCHMARK(BM_SaveSettingsValueByValue);

constexpr std::size_t kForkSize = 4 << 20;

std::string TextFork() {
    std::string fork;
    while (fork.size() < kForkSize)
        fork += "A line of a Macintosh text file, ended by a CR.\r";
    fork.resize(kForkSize);
    return fork;
}

std::string MacBinaryText(const std::string& fork) {
    std::string header(data::kMacBinaryHeaderSize, '\0');
    header[1] = 5;
    header.replace(2, 5, "Notes");
    header.replace(65, 8, "TEXTttxt");
    for (int i = 0; i < 4; ++i)
        header[83 + i] = static_cast<char>(fork.size() >> (24 - 8 * i));
    return header + fork;
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void BM_ConvertMacBinaryText(benchmark::State& state) {
    Scratch scratch;
    std::string file = MacBinaryText(TextFork());
    std::filesystem::path received = scratch.Path() / "received.bin";
    for (auto _ : state) {
        state.PauseTiming();
        WriteFile(received, file);
        state.ResumeTiming();
        std::string converted;
        if (data::ConvertMacBinary(received, true, converted) != data::kMacConverted)
            state.SkipWithError("conversion failed");
        state.PauseTiming();
        std::filesystem::remove(converted);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kForkSize));
}
BENCHMARK(BM_ConvertMacBinaryText)->Unit(benchmark::kMillisecond);

void BM_CopyFilePeer(benchmark::State& state) {
    Scratch scratch;
    std::filesystem::path source = scratch.Path() / "source";
    std::filesystem::path target = scratch.Path() / "target";
    WriteFile(source, TextFork());
    for (auto _ : state) {
        std::filesystem::copy_file(source, target,
                                   std::filesystem::copy_options::overwrite_existing);
        state.PauseTiming();
        std::filesystem::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kForkSize));
}
BENCHMARK(BM_CopyFilePeer)->Unit(benchmark::kMillisecond);

// A phone book of `entries` lines, its names in no order.
std::filesystem::path WritePhoneBook(const Scratch& scratch, int entries) {
    const std::filesystem::path path = scratch.Path() / "PhoneBook.txt";
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < entries; ++i)
        out << "Station " << (i * 7919 % entries) << "\t555-" << i << "\r\n";
    return path;
}

// Loading a phone book of 100,000 entries, against reading its bytes: the load must grow with
// the book, not with its square.
void BM_LoadPhoneBook100k(benchmark::State& state) {
    Scratch scratch;
    const std::filesystem::path path = WritePhoneBook(scratch, 100000);
    for (auto _ : state) {
        data::PhoneBookList list;
        data::LoadPhoneBook(list, path.string());
        benchmark::DoNotOptimize(list.Rows().size());
    }
}
BENCHMARK(BM_LoadPhoneBook100k)->Unit(benchmark::kMillisecond);

void BM_ReadPhoneBook100kPeer(benchmark::State& state) {
    Scratch scratch;
    const std::filesystem::path path = WritePhoneBook(scratch, 100000);
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        benchmark::DoNotOptimize(text.size());
    }
}
BENCHMARK(BM_ReadPhoneBook100kPeer)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
