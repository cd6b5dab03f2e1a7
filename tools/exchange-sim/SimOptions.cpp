#include "SimOptions.h"

#include <cerrno>
#include <cstdlib>

#include "CMarketModel.h"

static bool ParseLong(const std::string& text, long low, long high, long& valueOut) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || value < low || value > high) return false;
    valueOut = value;
    return true;
}

bool ParsePin(const std::string& text, std::pair<std::string, double>& pinOut) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    const std::string pair = text.substr(0, equals);
    const std::string number = text.substr(equals + 1);
    char* end = nullptr;
    const double price = strtod(number.c_str(), &end);
    if (!IsValidPair(pair) || number.empty() || *end || !(price > 0) || price > 1e12) return false;
    pinOut = {pair, price};
    return true;
}

struct OptionRow {
    const char* name;
    const char* argument;  // nullptr: a flag without a value
    const char* help;
};

// clang-format off
static const OptionRow kOptions[] = {
    {"--rest-port",     "N",          "REST (HTTPS) port, default 443; 0 picks a free one"},
    {"--stream-port",   "N",          "WebSocket (TLS) port, default 8888; 0 picks a free one"},
    {"--bind",          "ADDR",       "IPv4 address to listen on, default 127.0.0.1"},
    {"--dir",           "PATH",       "REST path prefix before {function}/{pair}, default /api/1/"},
    {"--make-certs",    "DIR",        "write DIR/ca.pem, DIR/server.pem, DIR/server-key.pem and serve with them"},
    {"--host",          "NAME",       "a name the server certificate holds (repeatable; default localhost, 127.0.0.1)"},
    {"--cert",          "FILE",       "serve with this PEM certificate (with --key) instead of --make-certs"},
    {"--key",           "FILE",       "the PEM private key of --cert"},
    {"--seed",          "N",          "seed of the random walk, default 1"},
    {"--rate",          "R",          "stream messages per second per connection, default 1 (0.1 to 1000)"},
    {"--pacing",        "HOW",        "steady (one message each 1/R s, the default) or random (gaps that average 1/R s)"},
    {"--pin",           "PAIR=PRICE", "hold PAIR at PRICE (repeatable); other values still vary"},
    {"--freeze-clock",  "ISO",        "every timestamp shows this instant, e.g. 2018-03-18T12:34:56.789Z"},
    {"--control",       "FILE",       "a file read again before each connection and document (see below)"},
    {"--rest-faults",   "LIST",       "fault modes of every REST connection, e.g. close,chunked=4"},
    {"--stream-faults", "LIST",       "fault modes of every stream connection, e.g. fragment=2,ping"},
    {"--help",          nullptr,      "this text"},
};
// clang-format on

static const OptionRow* FindOption(const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

static bool Fail(std::string& errorOut, const std::string& why) {
    errorOut = why;
    return false;
}

static bool ApplyOption(const std::string& name, const std::string& value, SimOptions& options, std::string& error) {
    long number = 0;
    const std::string bad = "bad value for " + name + ": \"" + value + "\"";
    if (name == "--rest-port" || name == "--stream-port") {
        if (!ParseLong(value, 0, 65535, number)) return Fail(error, bad);
        (name == "--rest-port" ? options.restPort : options.streamPort) = static_cast<int>(number);
    } else if (name == "--bind") {
        options.bindAddress = value;
    } else if (name == "--dir") {
        if (value.empty() || value[0] != '/') return Fail(error, bad);
        options.apiDir = value;
    } else if (name == "--make-certs") {
        options.makeCertsDir = value;
    } else if (name == "--host") {
        if (value.empty()) return Fail(error, bad);
        options.hosts.push_back(value);
    } else if (name == "--cert") {
        options.certFile = value;
    } else if (name == "--key") {
        options.keyFile = value;
    } else if (name == "--seed") {
        if (!ParseLong(value, 0, 0xFFFFFFFFL, number)) return Fail(error, bad);
        options.seed = static_cast<unsigned long>(number);
        options.seedGiven = true;
    } else if (name == "--rate") {
        char* end = nullptr;
        const double rate = strtod(value.c_str(), &end);
        if (value.empty() || *end || !(rate >= 0.1 && rate <= 1000)) return Fail(error, bad);
        options.rate = rate;
    } else if (name == "--pacing") {
        if (value != "steady" && value != "random") return Fail(error, bad);
        options.randomPacing = value == "random";
    } else if (name == "--pin") {
        std::pair<std::string, double> pin;
        if (!ParsePin(value, pin)) return Fail(error, bad);
        options.pins.push_back(pin);
    } else if (name == "--freeze-clock") {
        options.freezeClock = value;
    } else if (name == "--control") {
        options.controlFile = value;
    } else if (name == "--rest-faults") {
        std::string why;
        if (!ParseFaultList(value, kRestSession, options.restFaults, why)) return Fail(error, name + ": " + why);
    } else if (name == "--stream-faults") {
        std::string why;
        if (!ParseFaultList(value, kStreamSession, options.streamFaults, why)) return Fail(error, name + ": " + why);
    }
    return true;
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& errorOut) {
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const OptionRow* row = FindOption(name);
        if (!row) return Fail(errorOut, "unknown option \"" + name + "\" (see --help)");
        if (!row->argument) {
            if (hasValue) return Fail(errorOut, name + " takes no value");
            options.help = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argc) return Fail(errorOut, name + " needs a value " + row->argument);
            value = argv[++i];
        }
        if (!ApplyOption(name, value, options, errorOut)) return false;
    }
    if (options.certFile.empty() != options.keyFile.empty()) return Fail(errorOut, "--cert and --key go together");
    if (!options.certFile.empty() && !options.makeCertsDir.empty())
        return Fail(errorOut, "--make-certs and --cert exclude each other");
    if (!options.help && options.certFile.empty() && options.makeCertsDir.empty())
        return Fail(errorOut, "no certificate: give --make-certs DIR or --cert FILE --key FILE");
    if (options.hosts.empty()) options.hosts = {"localhost", "127.0.0.1"};
    return true;
}

std::string SimUsage() {
    std::string text =
        "usage: exchange-sim (--make-certs DIR | --cert FILE --key FILE) [options]\n"
        "A local exchange over TLS: REST documents at GET {dir}{function}/{pair} (function: ticker,\n"
        "depth, trades, last_price) and a WebSocket stream at /stream?currency_pair=PAIR. Prices\n"
        "take a random walk, one step per document. The chosen ports go to stdout as\n"
        "\"rest-port N\" and \"stream-port N\"; a line per event goes to stderr. SIGINT or\n"
        "SIGTERM ends it.\n\noptions:\n";
    for (const OptionRow& row : kOptions) {
        std::string left = std::string("  ") + row.name + (row.argument ? std::string(" ") + row.argument : "");
        if (left.size() < 30) left.append(30 - left.size(), ' ');
        text += left + row.help + "\n";
    }
    text += "\nfault modes (LIST := none | MODE[=N] {,MODE[=N]}; REST/stream/both):\n";
    for (const FaultModeInfo& info : kFaultModes) {
        std::string left = std::string("  ") + info.name;
        if (left.size() < 17) left.append(17 - left.size(), ' ');
        const char* kinds = info.kinds == kRestSession     ? "REST    "
                            : info.kinds == kStreamSession ? "stream  "
                                                           : "both    ";
        text += left + kinds + info.help + "\n";
    }
    text +=
        "\ncontrol file lines (the file is read again when it changes; fault lines apply to\n"
        "connections accepted afterwards, pins and the clock to the next document):\n"
        "  rest LIST            fault modes of new REST connections (instead of --rest-faults)\n"
        "  stream LIST          fault modes of new stream connections (instead of --stream-faults)\n"
        "  pin PAIR=PRICE       hold PAIR at PRICE; removing the line lets it walk again\n"
        "  freeze-clock ISO     stop the clock at ISO; removing the line lets it run again\n"
        "  burst N              every stream connection sends its next N messages in one\n"
        "                       write (once per control text that holds the line)\n"
        "  # ...                a comment\n";
    return text;
}
