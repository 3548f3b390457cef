// sendari-modems: lists, adds and removes the modems Sendari can use (the modem entries and the
// COM port map in the registry), and looks for modems on the serial devices present.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "comm/ModemDetector.h"
#include "comm/ModemInstaller.h"
#include "platform/NetAddress.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kDetectAnswerMs = 1000;
constexpr const char* kDefaultVirtualRate = "28800";
constexpr int kFirstVirtualListenPort = 2320;

void Usage(FILE* to) {
    std::fprintf(
        to,
        "Usage: sendari-modems list\n"
        "  or:  sendari-modems types\n"
        "  or:  sendari-modems add --port COMn [--device PATH] [--type TYPE]\n"
        "  or:  sendari-modems add-virtual --port COMn [--listen ADDR:PORT] [--rate BPS]\n"
        "  or:  sendari-modems import FILE.reg [--port COMn]\n"
        "  or:  sendari-modems remove NAME|COMn\n"
        "  or:  sendari-modems detect [--add]\n"
        "Sendari uses COM1 to COM9. A port without a device in its map is /dev/ttyS(n-1).\n"
        "Your own modem types go in %s as .reg files.\n"
        "Exit status: 0 when the command did what it says, 1 when it could not, 2 for a bad\n"
        "command line.\n",
        comm::UserModemDefinitionFolder().c_str());
}

// "--name value" pairs after the command, of the options `allowed` (flags take no value);
// `positional` gets the rest. Empty when sound, else what is wrong.
std::string ParseOptions(int argc, char** argv, int first,
                         std::map<std::string, std::string>& options,
                         std::vector<std::string>& positional,
                         const std::vector<std::string>& allowed,
                         const std::vector<std::string>& flags) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        auto in = [&arg](const std::vector<std::string>& names) {
            for (const std::string& name : names)
                if (name == arg)
                    return true;
            return false;
        };
        if (in(flags)) {
            options[arg] = "1";
        } else if (!in(allowed)) {
            return "unknown option " + arg;
        } else if (i + 1 >= argc) {
            return arg + " wants a value";
        } else {
            options[arg] = argv[++i];
        }
    }
    if (auto port = options.find("--port");
        port != options.end() && comm::ParseComPort(port->second) == 0)
        return "--port wants COM1 to COM9";
    return {};
}

int Report(const comm::InstallResult& result, const char* verb) {
    if (!result.message.empty())
        std::fprintf(stderr, "%s%s", result.message.c_str(),
                     result.message.back() == '\n' ? "" : "\n");
    if (!result.ok)
        return kExitFailed;
    for (const std::string& name : result.names)
        std::fprintf(stderr, "%s '%s'.\n", verb, name.c_str());
    return kExitOk;
}

int List() {
    auto modems = comm::ListInstalledModems();
    if (modems.empty()) {
        std::fprintf(stderr, "No modems are installed. Add one with \"sendari-modems add\".\n");
        return kExitOk;
    }
    for (const auto& modem : modems) {
        int port = comm::ParseComPort(modem.port);
        std::string target = modem.portTarget;
        if (target.empty() && port != 0)
            target = "/dev/ttyS" + std::to_string(port - 1);
        std::printf("%s\t%s\t%s\n", modem.name.c_str(),
                    modem.port.empty() ? "(no port)" : modem.port.c_str(),
                    target.empty() ? "-" : target.c_str());
    }
    return kExitOk;
}

int Types() {
    for (const auto& definition : comm::ModemDefinitions())
        std::printf("%s\t%s\n", definition.type.c_str(), definition.description.c_str());
    return kExitOk;
}

int Add(const std::map<std::string, std::string>& options) {
    auto port = options.find("--port");
    if (port == options.end()) {
        Usage(stderr);
        return kExitUsage;
    }
    std::string type = options.count("--type") ? options.at("--type") : "hayes";
    auto definition = comm::FindModemDefinition(type);
    if (!definition) {
        std::fprintf(stderr, "There is no modem type '%s'. These are known:\n", type.c_str());
        Types();
        return kExitFailed;
    }
    std::string device = options.count("--device") ? options.at("--device") : "";
    return Report(comm::InstallModem(definition->text, port->second, device), "Installed");
}

int AddVirtual(const std::map<std::string, std::string>& options) {
    auto port = options.find("--port");
    if (port == options.end()) {
        Usage(stderr);
        return kExitUsage;
    }
    int number = comm::ParseComPort(port->second);
    // Each virtual port answers on its own TCP port unless told otherwise, so two virtual
    // modems on one computer can call each other.
    std::string listen = options.count("--listen")
                             ? options.at("--listen")
                             : "127.0.0.1:" + std::to_string(kFirstVirtualListenPort + number);
    std::string rate = options.count("--rate") ? options.at("--rate") : kDefaultVirtualRate;
    std::string value = comm::VirtualModemMapValue(listen, rate);
    if (value.empty()) {
        std::fprintf(stderr, "'%s' at '%s' bits per second is not a valid virtual modem.\n",
                     listen.c_str(), rate.c_str());
        return kExitUsage;
    }
    auto definition = comm::FindModemDefinition("virtual");
    if (!definition) {
        std::fprintf(stderr, "The virtual modem type is missing.\n");
        return kExitFailed;
    }
    int result = Report(comm::InstallModem(definition->text, port->second, value), "Installed");
    if (result == kExitOk) {
        std::fprintf(stderr, "%s answers calls on %s.\n", port->second.c_str(), listen.c_str());
        if (const std::string warning = platform::ExposedListenWarning(listen); !warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
    }
    return result;
}

int Import(const std::vector<std::string>& files,
           const std::map<std::string, std::string>& options) {
    if (files.size() != 1) {
        Usage(stderr);
        return kExitUsage;
    }
    std::string port = options.count("--port") ? options.at("--port") : "";
    return Report(comm::ImportModemFile(files[0], port), "Installed");
}

int Remove(const std::vector<std::string>& names) {
    if (names.size() != 1) {
        Usage(stderr);
        return kExitUsage;
    }
    return Report(comm::RemoveModem(names[0]), "Removed");
}

// The first port that neither a modem nor a map entry uses.
std::string FreePort() {
    auto modems = comm::ListInstalledModems();
    for (int n = 1; n <= 9; ++n) {
        std::string name = "COM" + std::to_string(n);
        bool used = false;
        for (const auto& modem : modems)
            used = used || comm::ParseComPort(modem.port) == n;
        if (!used)
            return name;
    }
    return {};
}

int Detect(const std::map<std::string, std::string>& options) {
    auto devices = comm::SerialDeviceCandidates();
    if (devices.empty()) {
        std::fprintf(stderr,
                     "No serial ports were found on this computer, so there is no modem to "
                     "detect. A virtual modem can be added with \"sendari-modems add-virtual\".\n");
        return kExitOk;
    }
    std::vector<comm::DetectedModem> found;
    for (const std::string& device : devices) {
        std::fprintf(stderr, "Looking for a modem on %s...\n", device.c_str());
        std::fflush(stdout);
        if (auto modem = comm::ProbeModem(device, comm::DetectionRates(), kDetectAnswerMs)) {
            std::fprintf(stderr, "  answered at %u bits per second%s%s\n", modem->rate,
                         modem->identification.empty() ? "" : ": ", modem->identification.c_str());
            found.push_back(*modem);
        }
    }
    if (found.empty()) {
        std::fprintf(stderr, "No modem answered on the serial ports of this computer.\n");
        return kExitOk;
    }
    bool add = options.count("--add") != 0;
    int status = kExitOk;
    for (const auto& modem : found) {
        std::string port = FreePort();
        if (port.empty()) {
            std::fprintf(stderr, "COM1 to COM9 all have modems; remove one to add %s.\n",
                         modem.device.c_str());
            continue;
        }
        if (!add) {
            std::fprintf(stderr, "To install it: sendari-modems add --port %s --device %s\n",
                         port.c_str(), modem.device.c_str());
            continue;
        }
        auto definition = comm::FindModemDefinition("hayes");
        if (!definition || Report(comm::InstallModem(definition->text, port, modem.device),
                                  "Installed") != kExitOk)
            status = kExitFailed;
        else
            std::fprintf(stderr, "  on %s (%s)\n", port.c_str(), modem.device.c_str());
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stdout);
        return List();
    }
    const std::string command = argv[1];
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || (i == 1 && arg == "help")) {
            Usage(stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("sendari-modems %s\n", SENDARI_VERSION);
            return kExitOk;
        }
    }
    struct CommandOptions {
        const char* command;
        std::vector<std::string> allowed;
        std::vector<std::string> flags;
        std::size_t positional;
    };
    const CommandOptions known[] = {
        {"list", {}, {}, 0},
        {"types", {}, {}, 0},
        {"add", {"--port", "--device", "--type"}, {}, 0},
        {"add-virtual", {"--port", "--listen", "--rate"}, {}, 0},
        {"import", {"--port"}, {}, 1},
        {"remove", {}, {}, 1},
        {"detect", {}, {"--add"}, 0},
    };
    const CommandOptions* chosen = nullptr;
    for (const CommandOptions& entry : known)
        if (command == entry.command)
            chosen = &entry;
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;
    std::string error =
        chosen ? ParseOptions(argc, argv, 2, options, positional, chosen->allowed, chosen->flags)
               : "unknown command " + command;
    if (error.empty() && positional.size() > chosen->positional)
        error = "unexpected " + positional[chosen->positional];
    if (error.empty() && positional.size() < chosen->positional)
        error =
            command + (command == "import" ? " wants a .reg file" : " wants a modem name or COMn");
    if (!error.empty()) {
        std::fprintf(stderr, "sendari-modems: %s\n", error.c_str());
        Usage(stderr);
        return kExitUsage;
    }
    if (command == "list")
        return List();
    if (command == "types")
        return Types();
    if (command == "add")
        return Add(options);
    if (command == "add-virtual")
        return AddVirtual(options);
    if (command == "import")
        return Import(positional, options);
    if (command == "remove")
        return Remove(positional);
    return Detect(options);
}
