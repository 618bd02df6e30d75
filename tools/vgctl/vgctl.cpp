// vgctl: calls the screening service through the library's exports and prints
// what comes back.
//
// Every subcommand is one row of kCommands: its name (one or more words), its
// arguments, a line of help, the options it accepts and the handler that makes
// the call. A handler returns the call's HRESULT; main prints it as the last
// line and turns it into the exit status: 0 success, 1 failure, 2 usage error.
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"

namespace {

// A fault in the command line; main reports it with the command's usage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Stored by the location calls when the text had to be cut: the rest of the
// answer is still valid.
constexpr uint32_t kTextCut = 0x8007007Au;

bool Failed(VGHRESULT hr) { return hr < 0; }

// ---------------------------------------------------------------------------
// Parsed command line

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // a flag maps to ""

    bool Has(const char* name) const { return options.count(name) != 0; }
    const char* Text(const char* name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : it->second.c_str();
    }
    const char* RequiredText(const char* name) const {
        const char* s = Text(name);
        if (!s) throw UsageError(std::string("missing --") + name);
        return s;
    }
};

// Decimal or 0x-prefixed hexadecimal, 32 bits, nothing else.
VGDWORD ParseNumber(const std::string& s, const char* what) {
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (s.size() == start) throw UsageError(std::string("bad number for ") + what + ": '" + s + "'");
    uint64_t v = 0;
    for (size_t i = start; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (hex && std::isxdigit(c))
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            throw UsageError(std::string("bad number for ") + what + ": '" + s + "'");
        v = v * (hex ? 16 : 10) + digit;
        if (v > 0xFFFFFFFFu) throw UsageError(std::string("number too large for ") + what + ": '" + s + "'");
    }
    return static_cast<VGDWORD>(v);
}

VGDWORD NumberOption(const Args& args, const char* name, VGDWORD dflt) {
    const char* s = args.Text(name);
    return s ? ParseNumber(s, (std::string("--") + name).c_str()) : dflt;
}

// ---------------------------------------------------------------------------
// Service codes: a tag of the service table (case-insensitive) or a number

struct ServiceName {
    VGDWORD code;
    const char* tag;
};

#define VGCTL_SERVICE_ROW_(code, name, tag, section) {code, tag},
const ServiceName kServices[] = {VG_SERVICE_TABLE(VGCTL_SERVICE_ROW_)};
#undef VGCTL_SERVICE_ROW_

// The command-line spelling of a tag: lower case, without the parentheses
// that "(unspecified)" carries in message texts.
std::string ServiceWord(const char* tag) {
    std::string word;
    for (const char* p = tag; *p; ++p)
        if (*p != '(' && *p != ')') word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return word;
}

std::string ServiceWords() {
    std::string list;
    for (const ServiceName& s : kServices) list += (list.empty() ? "" : ", ") + ServiceWord(s.tag);
    return list;
}

VGDWORD ServiceOption(const Args& args) {
    const char* s = args.RequiredText("service");
    if (std::isdigit(static_cast<unsigned char>(s[0]))) return ParseNumber(s, "--service");
    std::string word;
    for (const char* p = s; *p; ++p) word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    for (const ServiceName& svc : kServices)
        if (ServiceWord(svc.tag) == word) return svc.code;
    throw UsageError(std::string("unknown service '") + s + "' (one of " + ServiceWords() + ", or a number)");
}

// ---------------------------------------------------------------------------
// Output

std::string Hex(const uint8_t* p, size_t cb) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < cb; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Offset, 16 bytes in hex, and their printable characters.
void HexDump(const void* pv, size_t cb) {
    const uint8_t* p = static_cast<const uint8_t*>(pv);
    for (size_t off = 0; off < cb; off += 16) {
        const size_t n = cb - off < 16 ? cb - off : 16;
        std::string text;
        for (size_t i = 0; i < n; ++i) text += std::isprint(p[off + i]) ? static_cast<char>(p[off + i]) : '.';
        std::printf("%04x  %-47s  |%s|\n", static_cast<unsigned>(off), Hex(p + off, n).c_str(), text.c_str());
    }
}

VGGEODATA EmptyGeoData() {
    VGGEODATA geo;
    std::memset(&geo, 0, sizeof(geo));
    geo.cbSize = VG_GEODATA_SIZE;
    return geo;
}

// ---------------------------------------------------------------------------
// Handlers

VGHRESULT ListQuery(VGHRESULT(VGAPI* query)(VGDWORD*, const char*, VGDWORD), const char* label, const Args& args) {
    VGDWORD result = 0;
    const VGHRESULT hr = query(&result, args.positional[0].c_str(), 0);
    if (!Failed(hr)) std::printf("%s=%lu\n", label, static_cast<unsigned long>(result));
    return hr;
}

VGHRESULT RunIsWhite(const Args& args) { return ListQuery(HrVGIsWhiteListed, "whitelisted", args); }
VGHRESULT RunIsBlack(const Args& args) { return ListQuery(HrVGIsBlackListed, "blacklisted", args); }
VGHRESULT RunIsTrusted(const Args& args) { return ListQuery(HrVGIsTrusted, "trusted", args); }

VGHRESULT RunGeoBlocked(const Args& args) {
    const char* ip = args.positional[0].c_str();
    const VGDWORD service = ServiceOption(args);
    const bool ex = args.Has("ex");
    if (!ex && args.Has("param")) throw UsageError("--param needs --ex");
    const VGDWORD param = NumberOption(args, "param", 0);

    VGDWORD blocked = 0;
    char location[128] = "";
    VGGEODATA geo = EmptyGeoData();
    const VGHRESULT hr = ex ? HrVGIsGeoBlockedEx(&blocked, ip, service, param, location, sizeof(location), &geo)
                            : HrVGIsGeoBlocked(&blocked, ip, service, location, sizeof(location), 0);
    if (!Failed(hr) || static_cast<uint32_t>(hr) == kTextCut) {
        std::printf("blocked=%lu\nlocation=%s\n", static_cast<unsigned long>(blocked), location);
        if (ex) std::printf("geodata=%s ...\n", Hex(reinterpret_cast<const uint8_t*>(&geo), 32).c_str());
    }
    return hr;
}

VGHRESULT RunGeoData(const Args& args) {
    const VGDWORD param = NumberOption(args, "param", 0);
    VGGEODATA geo = EmptyGeoData();
    VGHRESULT hr;
    if (args.Has("id")) {
        if (args.positional.size() != 3) throw UsageError("--id needs three numbers");
        hr = HrVGGetGeoDataByID(ParseNumber(args.positional[0], "ID1"), ParseNumber(args.positional[1], "ID2"),
                                ParseNumber(args.positional[2], "ID3"), param, &geo);
    } else {
        if (args.positional.size() != 1) throw UsageError("expected one IP address, or --id and three numbers");
        hr = HrVGGetGeoDataByIP(args.positional[0].c_str(), param, &geo);
    }
    if (!Failed(hr)) HexDump(&geo, sizeof(geo));
    return hr;
}

VGHRESULT RunAllow(const Args& args) {
    const char* ip = args.positional[0].c_str();
    const VGDWORD service = ServiceOption(args);
    const char* account = args.Text("account");
    const bool ex = args.Has("ex");
    if (!ex && (args.Has("param1") || args.Has("param2"))) throw UsageError("--param1 and --param2 need --ex");
    const VGDWORD param1 = NumberOption(args, "param1", 0);
    const VGDWORD param2 = NumberOption(args, "param2", 0);

    VGDWORD verdict = 0, info1 = 0, info2 = 0;
    VGGEODATA geo = EmptyGeoData();
    VGHRESULT hr;
    if (ex)
        hr = account ? HrVGAllowConnectionEx(&verdict, ip, service, account, &info1, &geo, param1, &info2, param2)
                     : HrVGAllowIPConnectionEx(&verdict, ip, service, &info1, &geo, param1, &info2, param2);
    else
        hr = account ? HrVGAllowConnection(&verdict, ip, service, account, &info1, 0)
                     : HrVGAllowIPConnection(&verdict, ip, service, &info1, 0);
    if (!Failed(hr)) {
        std::printf("verdict=%s (%lu)\ninfo1=%lu\n", verdict ? "allow" : "refuse", static_cast<unsigned long>(verdict),
                    static_cast<unsigned long>(info1));
        if (ex) std::printf("info2=%lu\n", static_cast<unsigned long>(info2));
    }
    return hr;
}

VGHRESULT RunAuthFail(const Args& args) {
    return HrVGProcessAuthFailure(args.positional[0].c_str(), args.positional[1].c_str(), ServiceOption(args),
                                  args.RequiredText("text"), args.Text("detail"), args.Text("note"), 0);
}

VGHRESULT RunAuthOk(const Args& args) {
    return HrVGProcessAuthSuccess(args.positional[0].c_str(), args.positional[1].c_str(), ServiceOption(args), 0);
}

// The text of a message identifier or HRESULT, given in hex or decimal; a
// negative decimal is taken as the signed form of an HRESULT.
VGHRESULT RunFormat(const Args& args) {
    const std::string& s = args.positional[0];
    const VGDWORD code = s.size() > 1 && s[0] == '-' ? 0u - ParseNumber(s.substr(1), "CODE") : ParseNumber(s, "CODE");
    char text[4096];
    const VGHRESULT hr = HrVGFormatMessage(code, text, sizeof(text));
    if (!Failed(hr)) std::printf("%s\n", text);
    return hr;
}

VGHRESULT RunHelp(const Args& args);

// ---------------------------------------------------------------------------
// The subcommands

struct Command {
    const char* name;     // words typed after "vgctl"
    const char* usage;    // what follows the name
    const char* help;     // one line
    const char* options;  // accepted options, space-separated; "name=" takes a value
    size_t minArgs, maxArgs;
    VGHRESULT (*run)(const Args&);
};

const Command kCommands[] = {
    {"is-white", "IP", "ask whether IP is on the white list", "", 1, 1, RunIsWhite},
    {"is-black", "IP", "ask whether IP is on the black list", "", 1, 1, RunIsBlack},
    {"is-trusted", "IP", "ask whether IP is a trusted address", "", 1, 1, RunIsTrusted},
    {"geo-blocked", "IP --service S [--param N] [--ex]",
     "ask whether IP is blocked by its location; --ex also fetches the location record", "service= param= ex", 1, 1,
     RunGeoBlocked},
    {"geo-data", "IP | --id ID1 ID2 ID3 [--param N]", "fetch the location record of an address or an identifier",
     "id param=", 1, 3, RunGeoData},
    {"allow", "IP --service S [--account NAME] [--ex --param1 N --param2 N]",
     "ask whether a connection from IP (for NAME) may go on", "service= account= ex param1= param2=", 1, 1,
     RunAllow},
    {"auth-fail", "ACCOUNT IP --service S --text T [--detail D] [--note N]",
     "report a failed authentication of ACCOUNT from IP", "service= text= detail= note=", 2, 2, RunAuthFail},
    {"auth-ok", "ACCOUNT IP --service S", "report a successful authentication of ACCOUNT from IP", "service=", 2, 2,
     RunAuthOk},
    {"format", "CODE", "print the text of a message identifier or HRESULT (hex or decimal)", "", 1, 1, RunFormat},
    {"help", "[COMMAND]", "show all commands, or one", "", 0, 8, RunHelp},
};

std::vector<std::string> Words(const char* s) {
    std::vector<std::string> words;
    std::string w;
    for (const char* p = s;; ++p) {
        if (*p && *p != ' ') {
            w += *p;
        } else {
            if (!w.empty()) words.push_back(w);
            w.clear();
            if (!*p) return words;
        }
    }
}

// The command whose name words begin argv; the longest match wins, so that
// "x y" and "x" can both be commands. *pUsed receives the number of words.
const Command* FindCommand(const std::vector<std::string>& argv, size_t* pUsed) {
    const Command* best = nullptr;
    size_t bestLen = 0;
    for (const Command& c : kCommands) {
        const std::vector<std::string> name = Words(c.name);
        if (name.size() <= bestLen || name.size() > argv.size()) continue;
        bool match = true;
        for (size_t i = 0; i < name.size() && match; ++i) match = name[i] == argv[i];
        if (match) best = &c, bestLen = name.size();
    }
    *pUsed = bestLen;
    return best;
}

// "--name value", "--name=value", flags "--name"; "--" ends the options.
Args Parse(const Command& cmd, const std::vector<std::string>& argv) {
    Args args;
    const std::vector<std::string> accepted = Words(cmd.options);
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        // A negative number (an HRESULT in decimal) is an argument, not an option.
        if (optionsEnded || a.size() < 2 || a[0] != '-' || std::isdigit(static_cast<unsigned char>(a[1]))) {
            args.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            args.options["help"];
            continue;
        }
        if (a[1] != '-') throw UsageError("unknown option " + a);
        const size_t eq = a.find('=');
        const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        bool known = false, takesValue = false;
        for (const std::string& o : accepted) {
            const bool valued = o.back() == '=';
            if ((valued ? o.substr(0, o.size() - 1) : o) == name) known = true, takesValue = valued;
        }
        if (!known) throw UsageError("unknown option " + a);
        if (!takesValue) {
            if (eq != std::string::npos) throw UsageError("option --" + name + " takes no value");
            args.options[name];
        } else if (eq != std::string::npos) {
            args.options[name] = a.substr(eq + 1);
        } else if (i + 1 < argv.size()) {
            args.options[name] = argv[++i];
        } else {
            throw UsageError("option --" + name + " needs a value");
        }
    }
    if (args.Has("help")) return args;
    if (args.positional.size() < cmd.minArgs) throw UsageError("missing argument");
    if (args.positional.size() > cmd.maxArgs) throw UsageError("too many arguments");
    return args;
}

void PrintUsage(const Command& c) { std::printf("usage: vgctl %s %s\n  %s\n", c.name, c.usage, c.help); }

void PrintHelp() {
    std::printf("usage: vgctl COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s %s\n      %s\n", c.name, c.usage, c.help);
    std::printf(
        "\nS is a service, by name or number:\n  %s\n"
        "Numbers are decimal or 0x hex. Each call prints its results, then\n"
        "hr=0x........ (its HRESULT); the exit status is 0 on success, 1 when the\n"
        "HRESULT is a failure, 2 on a usage error.\n"
        "\nEnvironment (POSIX build):\n"
        "  VIGILON_PIPE_DIR   folder of the pipe sockets (default /run/vigilon)\n"
        "  VIGILON_REGISTRY   registry file (default /etc/vigilon/registry.reg)\n",
        ServiceWords().c_str());
}

// Makes no call, so main prints no HRESULT for it.
VGHRESULT RunHelp(const Args& args) {
    if (args.positional.empty()) {
        PrintHelp();
        return 0;
    }
    size_t used = 0;
    const Command* c = FindCommand(args.positional, &used);
    if (!c || used != args.positional.size()) throw UsageError("unknown command '" + args.positional[0] + "'");
    PrintUsage(*c);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 1 && (words[0] == "-h" || words[0] == "--help")) words[0] = "help";

    size_t used = 0;
    const Command* cmd = FindCommand(words, &used);
    if (!cmd) {
        if (words.empty())
            std::fprintf(stderr, "vgctl: no command given\n");
        else
            std::fprintf(stderr, "vgctl: unknown command '%s'\n", words[0].c_str());
        std::fprintf(stderr, "usage: vgctl COMMAND [ARGUMENTS] [OPTIONS]; 'vgctl help' lists the commands\n");
        return 2;
    }
    words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(used));

    VGHRESULT hr;
    try {
        const Args args = Parse(*cmd, words);
        if (args.Has("help")) {
            PrintUsage(*cmd);
            return 0;
        }
        hr = cmd->run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "vgctl %s: %s\nusage: vgctl %s %s\n", cmd->name, e.what(), cmd->name, cmd->usage);
        return 2;
    }
    if (cmd->run == RunHelp) return 0;
    if (Failed(hr) && cmd->run != RunFormat) {
        char text[1024];
        if (!Failed(HrVGFormatMessage(static_cast<VGDWORD>(hr), text, sizeof(text)))) std::printf("error=%s\n", text);
    }
    std::printf("hr=0x%08X\n", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return Failed(hr) ? 1 : 0;
}
