#include <windows.h>

#include "WatchOptions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

const char kWatchUsage[] =
    "usage: ddewatch [options] TOPIC!ITEM ...\n"
    "\n"
    "Links to items of a DDE server as a spreadsheet cell does (a hot link in\n"
    "CF_TEXT) and prints every update as one line:\n"
    "\n"
    "    <milliseconds since start> TAB <topic> TAB <item> TAB <value>\n"
    "\n"
    "Topic and item are printed as given. The value is printed as the bytes\n"
    "received (the server's ANSI code page) up to the terminating NUL; a tab,\n"
    "CR, LF or backslash in it is printed as \\t, \\r, \\n or \\\\. Lines end in\n"
    "CR LF, as Windows text does, and each is flushed as it is written.\n"
    "\n"
    "A link the server refuses, or is too busy to answer, is asked for again a\n"
    "few times within 1.5 s before it counts as refused.\n"
    "\n"
    "options:\n"
    "  --service NAME        DDE service name (default VORN)\n"
    "  --seconds N           stop after N seconds (default: until Ctrl+C)\n"
    "  --count N             stop after N updates in all\n"
    "  --connect-timeout N   keep trying to reach the service for up to N seconds\n"
    "                        (default 0: one try)\n"
    "  --format F            clipboard format of the links: CF_TEXT (default),\n"
    "                        CF_UNICODETEXT or a number\n"
    "  --request             ask each item once with XTYP_REQUEST instead of\n"
    "                        linking, print the answers and end\n"
    "  --hex                 print values as hex bytes, terminating NUL included\n"
    "  --clock               start each line with the time of receipt in\n"
    "                        microseconds since 1970-01-01 UTC instead\n"
    "  --table               redraw a live table instead of printing lines: one row\n"
    "                        per link, starting with its TOPIC!ITEM, in fixed\n"
    "                        columns (a long value is cut, marked with ~)\n"
    "  -h, --help            show this text\n"
    "\n"
    "Messages go to stderr, one line each, starting with \"ddewatch: \":\n"
    "\"linked TOPIC!ITEM\" for every accepted link, and the reason of any failure.\n"
    "\n"
    "exit codes:\n"
    "  0  ran to the end with every link accepted (every request answered)\n"
    "  1  DDEML could not be started\n"
    "  2  bad command line\n"
    "  3  the service did not accept a conversation on a topic\n"
    "  4  the server refused a link, or answered a request without data\n"
    "  5  the server ended a conversation\n"
    "\n"
    "examples:\n"
    "  ddewatch --table ticker.btc_jpy.h!last ticker.btc_jpy.h!bid btc_jpy.r!last_price.price\n"
    "  ddewatch --service VORN --connect-timeout 10 --count 5 ticker.btc_jpy.h!last\n";

namespace {

// DDE names are atoms: at most 255 characters.
const size_t kMaxNameLength = 255;

struct ValueOption {
    const char* name;
    bool (*apply)(const char* value, WatchOptions* options);
};

bool ReadSeconds(const char* text, double* secondsOut) {
    char* end = nullptr;
    double value = strtod(text, &end);
    if (end == text || *end || value < 0 || value > 86400.0 * 365) return false;
    *secondsOut = value;
    return true;
}

bool ApplyService(const char* value, WatchOptions* options) {
    options->service = value;
    return !options->service.empty() && options->service.size() <= kMaxNameLength;
}

bool ApplySeconds(const char* value, WatchOptions* options) {
    return ReadSeconds(value, &options->seconds);
}

bool ApplyConnectTimeout(const char* value, WatchOptions* options) {
    return ReadSeconds(value, &options->connectTimeout);
}

bool ApplyCount(const char* value, WatchOptions* options) {
    char* end = nullptr;
    long count = strtol(value, &end, 10);
    if (end == value || *end || count < 1) return false;
    options->count = count;
    return true;
}

bool ApplyFormat(const char* value, WatchOptions* options) {
    if (strcmp(value, "CF_TEXT") == 0) return options->format = 1, true;
    if (strcmp(value, "CF_UNICODETEXT") == 0) return options->format = 13, true;
    char* end = nullptr;
    long format = strtol(value, &end, 10);
    if (end == value || *end || format < 1 || format > 0xFFFF) return false;
    options->format = (UINT)format;
    return true;
}

const ValueOption kValueOptions[] = {
    {"--service", ApplyService}, {"--seconds", ApplySeconds},
    {"--count", ApplyCount},     {"--connect-timeout", ApplyConnectTimeout},
    {"--format", ApplyFormat},
};

// TOPIC!ITEM: the first '!' splits; neither side may be empty.
bool ParseLink(const std::string& text, WatchLink* linkOut) {
    size_t bang = text.find('!');
    if (bang == std::string::npos) return false;
    linkOut->topic = text.substr(0, bang);
    linkOut->item = text.substr(bang + 1);
    if (linkOut->topic.empty() || linkOut->item.empty()) return false;
    return linkOut->topic.size() <= kMaxNameLength && linkOut->item.size() <= kMaxNameLength;
}

bool ParseFlag(const std::string& arg, WatchOptions* options) {
    if (arg == "--help" || arg == "-h") return options->help = true, true;
    if (arg == "--table") return options->table = true, true;
    if (arg == "--hex") return options->hex = true, true;
    if (arg == "--clock") return options->clock = true, true;
    if (arg == "--request") return options->request = true, true;
    return false;
}

}  // namespace

bool ParseWatchOptions(int argc, const char* const* argv, WatchOptions* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (ParseFlag(arg, options)) continue;
        const ValueOption* option = nullptr;
        std::string value;
        for (const ValueOption& known : kValueOptions) {
            std::string name = known.name;
            if (arg == name && i + 1 < argc) {
                option = &known;
                value = argv[++i];
            } else if (arg.compare(0, name.size() + 1, name + "=") == 0) {
                option = &known;
                value = arg.substr(name.size() + 1);
            } else if (arg == name) {
                return *error = arg + " needs a value", false;
            }
        }
        if (option) {
            if (!option->apply(value.c_str(), options)) return *error = "bad value for " + arg + ": " + value, false;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') return *error = "unknown option " + arg, false;
        WatchLink link;
        if (!ParseLink(arg, &link)) return *error = "not a TOPIC!ITEM link: " + arg, false;
        options->links.push_back(link);
    }
    if (options->help) return true;
    if (options->links.empty()) return *error = "no TOPIC!ITEM link given", false;
    if (options->request && options->table) return *error = "--request and --table do not go together", false;
    if (options->clock && options->table) return *error = "--clock and --table do not go together", false;
    return true;
}

void AddStatusLinks(std::vector<WatchLink>* links) {
    std::vector<std::string> topics;
    for (const WatchLink& link : *links) {
        if (link.status || link.topic == "status") continue;
        if (std::find(topics.begin(), topics.end(), link.topic) == topics.end()) topics.push_back(link.topic);
    }
    for (const std::string& topic : topics) {
        for (const char* field : {".state", ".age"})
            links->push_back({"status", topic + field, true});
    }
}
