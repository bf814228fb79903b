#include "sim/SimOptions.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace sim {

namespace {

bool ParseLong(const std::string& text, long low, long high, long* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool ParseDouble(const std::string& text, double low, double high, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= low && v <= high))
        return false;
    *value = v;
    return true;
}

std::vector<std::string> SplitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// "N:REST" → address N and REST.
bool AddressAnd(const std::string& text, int* address, std::string* rest)
{
    const size_t colon = text.find(':');
    long a;
    if (colon == std::string::npos || !ParseLong(text.substr(0, colon), 0, BusSimulator::kMaxAddress, &a))
        return false;
    *address = static_cast<int>(a);
    *rest = text.substr(colon + 1);
    return true;
}

}  // namespace

std::string SimUsage()
{
    return "Usage: chamber-sim [options]\n"
           "Simulates chamber controllers (Modbus RTU slaves, 57600 baud) behind a\n"
           "pseudo-terminal. Prints the terminal's path, then serves until\n"
           "interrupted (SIGINT or SIGTERM).\n"
           "\n"
           "Line and chambers:\n"
           "  --link PATH          symlink PATH to the terminal, removed on exit   --link /tmp/ttyCHAMBER\n"
           "  --chamber N          a chamber at address N (0..250), repeatable;\n"
           "                       default one chamber at 1                      --chamber 1 --chamber 7\n"
           "  --chambers A-B       chambers at every address A to B               --chambers 1-100\n"
           "  --strict             exit with status 3 when a request arrives while\n"
           "                       a reply is still due (two masters talking)     --strict\n"
           "  --speed X            simulated seconds per real second (0 freezes)  --speed 60\n"
           "  --delay MS           controller time before each reply (default 3)  --delay 10\n"
           "  --tcp PORT           also serve the line on TCP PORT of 127.0.0.1 as a\n"
           "                       serial device server in raw mode does          --tcp 4001\n"
           "  --modbus-tcp PORT    also serve it as a Modbus TCP gateway does\n"
           "                       (MBAP header, unit id = address)               --modbus-tcp 1502\n"
           "  --pin N:WORD=VALUE   status word WORD (0..16) of chamber N always\n"
           "                       reads VALUE                                    --pin 1:0=64786\n"
           "\n"
           "Faults of chamber N:\n"
           "  --silent N           never answers                                  --silent 3\n"
           "  --answer-from N:K    answers from its K-th request on               --answer-from 1:4\n"
           "  --late N:MS          answers MS later                               --late 1:300\n"
           "  --outage N:FROM-TO   silent from FROM to TO seconds after the start,\n"
           "                       then back; no TO (N:FROM- or N:FROM): silent\n"
           "                       for good                                       --outage 3:60-180\n"
           "  --split N:SIZES      reply in pieces of these sizes                 --split 1:4,7\n"
           "  --split-into N:COUNT reply in COUNT pieces of about equal size      --split-into 1:3\n"
           "  --pieces N:SIZE      reply in pieces of SIZE bytes, each written\n"
           "                       when its last byte is on the wire; 1 is byte\n"
           "                       by byte, 14 a 16550 FIFO's trigger level       --pieces 1:14\n"
           "  --random-pieces N    reply in random pieces, silences of 0 to the\n"
           "                       split gap between them                         --random-pieces 1\n"
           "  --latency-timer N:MS a USB adapter's latency timer: what has\n"
           "                       crossed the wire is handed over every MS, so\n"
           "                       replies are cut wherever a tick falls          --latency-timer 1:16\n"
           "  --split-gap MS       silence between pieces, decimals allowed;\n"
           "                       default 20, 0 for the wire's pace              --split-gap 2.5\n"
           "  --noise N:COUNT      COUNT random bytes before each reply           --noise 1:3\n"
           "  --noise-bytes N:HEX  these bytes before each reply                  --noise-bytes 1:FF,01\n"
           "  --bad-crc N          replies carry a wrong CRC                      --bad-crc 1\n"
           "  --exception N        status reads get exception 04 (0x84)           --exception 1\n"
           "  --short-reply N      the 15-word status read gets 15 words, not 17  --short-reply 1\n"
           "  --write-exception N:CODE\n"
           "                       writes get exception CODE (0x90), not applied  --write-exception 1:4\n"
           "  --wrong-echo N:WHAT  writes are applied but echoed for the next\n"
           "                       address, register or count (WHAT: address,\n"
           "                       register, count)                               --wrong-echo 1:register\n"
           "  --fault-rate N:P     each request has chance P of a random fault    --fault-rate 1:0.1\n"
           "  --seed S             seed of the random faults (default 1)          --seed 42\n"
           "\n"
           "  --verbose            log every frame in hex to stderr               --verbose\n"
           "  --help               this text                                      --help\n";
}

namespace {

// What a parse has gathered so far.
struct ParseState {
    SimOptions options;
    bool haveGap = false;
    double gapMs = 0;
    std::set<int> faultAddresses;  // each must have a chamber in the end
};

const std::set<std::string>& OptionsWithValue()
{
    static const std::set<std::string> names = {
        "--link", "--tcp", "--modbus-tcp", "--chamber", "--chambers", "--outage", "--speed", "--delay", "--pin", "--silent", "--answer-from",
        "--late", "--split", "--split-into", "--split-gap", "--pieces", "--random-pieces",
        "--latency-timer", "--noise", "--noise-bytes",
        "--bad-crc", "--exception", "--short-reply", "--write-exception", "--wrong-echo", "--fault-rate", "--seed"};
    return names;
}

// Options without a value; false when name is none of them.
bool TakeFlag(const std::string& name, SimOptions* o)
{
    if (name == "--help" || name == "-h")
        o->help = true;
    else if (name == "--strict")
        o->strict = true;
    else if (name == "--verbose" || name == "-v")
        o->verbose = true;
    else
        return false;
    return true;
}

void AddChamber(SimOptions* o, long address)
{
    if (std::find(o->chambers.begin(), o->chambers.end(), address) == o->chambers.end())
        o->chambers.push_back(static_cast<int>(address));
}

// Options of the line as a whole; *known false when name is not one of them.
bool TakeLineOption(const std::string& name, const std::string& value, ParseState* p, bool* known)
{
    SimOptions& o = p->options;
    long number;
    double real;
    *known = true;
    if (name == "--link") {
        o.link = value;
        return !value.empty();
    }
    if (name == "--tcp" || name == "--modbus-tcp") {
        if (!ParseLong(value, 1, 65535, &number))
            return false;
        (name == "--tcp" ? o.tcpPort : o.modbusTcpPort) = static_cast<int>(number);
        return true;
    }
    if (name == "--chamber") {
        if (!ParseLong(value, 0, BusSimulator::kMaxAddress, &number))
            return false;
        AddChamber(&o, number);
        return true;
    }
    if (name == "--chambers") {
        const size_t dash = value.find('-');
        long first, last;
        if (dash == std::string::npos || !ParseLong(value.substr(0, dash), 0, BusSimulator::kMaxAddress, &first) ||
            !ParseLong(value.substr(dash + 1), 0, BusSimulator::kMaxAddress, &last) || last < first)
            return false;
        for (long a = first; a <= last; ++a)
            AddChamber(&o, a);
        return true;
    }
    if (name == "--speed") {
        if (!ParseDouble(value, 0, 1e6, &real))
            return false;
        o.speed = real;
        return true;
    }
    if (name == "--delay") {
        if (!ParseLong(value, 0, 60000, &number))
            return false;
        o.delayMs = static_cast<int>(number);
        return true;
    }
    if (name == "--split-gap") {
        p->haveGap = ParseDouble(value, 0, 60000, &p->gapMs);
        return p->haveGap;
    }
    if (name == "--seed") {
        if (!ParseLong(value, 0, 0xFFFFFFFFL, &number))
            return false;
        o.seed = static_cast<uint32_t>(number);
        return true;
    }
    *known = false;
    return false;
}

// Faults given by the address alone ("--silent 3"); *known as above.
bool TakeChamberFault(const std::string& name, const std::string& value, ParseState* p, bool* known)
{
    *known = name == "--silent" || name == "--bad-crc" || name == "--exception" || name == "--short-reply" ||
             name == "--random-pieces";
    long number;
    if (!*known || !ParseLong(value, 0, BusSimulator::kMaxAddress, &number))
        return false;
    const int address = static_cast<int>(number);
    Faults& f = p->options.faults[address];
    p->faultAddresses.insert(address);
    if (name == "--silent")
        f.silent = true;
    else if (name == "--bad-crc")
        f.badCrc = true;
    else if (name == "--exception")
        f.exceptionReply = true;
    else if (name == "--random-pieces")
        f.randomPieces = true;
    else
        f.fifteenWordsOnly = true;
    return true;
}

// "FROM-TO", "FROM-" or "FROM": the last two silent for good.
bool ParseOutage(const std::string& text, SimOptions::Outage* outage)
{
    const size_t dash = text.find('-');
    if (!ParseDouble(text.substr(0, dash), 0, 1e7, &outage->from))
        return false;
    if (dash == std::string::npos || dash + 1 == text.size())
        return true;
    return ParseDouble(text.substr(dash + 1), 0, 1e7, &outage->to) && outage->to > outage->from;
}

// How a chamber's replies reach the line: pieces, gaps, noise before them.
// *known false when name is not one of these.
bool TakePiecing(const std::string& name, const std::string& rest, Faults* f, bool* known)
{
    long number;
    double real;
    *known = true;
    if (name == "--split") {
        f->chunkSizes.clear();
        for (const std::string& part : SplitOn(rest, ',')) {
            if (!ParseLong(part, 1, 256, &number))
                return false;
            f->chunkSizes.push_back(static_cast<int>(number));
        }
        return true;
    }
    if (name == "--pieces" || name == "--split-into") {
        if (!ParseLong(rest, 1, 256, &number))
            return false;
        (name == "--pieces" ? f->pieceSize : f->chunkCount) = static_cast<int>(number);
        return true;
    }
    if (name == "--latency-timer") {
        if (!ParseDouble(rest, 0.1, 1000, &real))
            return false;
        f->latencyTimer = std::chrono::microseconds(std::llround(real * 1000));
        return true;
    }
    if (name == "--noise") {
        if (!ParseLong(rest, 0, 250, &number))
            return false;
        f->noiseCount = static_cast<int>(number);
        return true;
    }
    if (name == "--noise-bytes") {
        f->noiseBytes.clear();
        for (const std::string& part : SplitOn(rest, ',')) {
            char* end = nullptr;
            const long byte = std::strtol(part.c_str(), &end, 16);
            if (part.empty() || part.size() > 2 || *end != '\0' || byte < 0)
                return false;
            f->noiseBytes.push_back(static_cast<uint8_t>(byte));
        }
        return true;
    }
    *known = false;
    return false;
}

// What a chamber answers, and when: the other "N:VALUE" options.
bool TakeAnswerFault(const std::string& name, const std::string& rest, Faults* f)
{
    long number;
    double real;
    if (name == "--answer-from" || name == "--late") {
        if (!ParseLong(rest, name == "--late" ? 0 : 1, name == "--late" ? 60000 : 1000000, &number))
            return false;
        if (name == "--late")
            f->extraDelay = std::chrono::milliseconds(number);
        else
            f->answerFrom = static_cast<int>(number);
        return true;
    }
    if (name == "--write-exception") {
        if (!ParseLong(rest, 1, 255, &number))
            return false;
        f->writeException = static_cast<uint8_t>(number);
        return true;
    }
    if (name == "--wrong-echo") {
        if (rest == "address")
            f->echo = Faults::Echo::OtherAddress;
        else if (rest == "register")
            f->echo = Faults::Echo::OtherRegister;
        else if (rest == "count")
            f->echo = Faults::Echo::OtherCount;
        else
            return false;
        return true;
    }
    if (name == "--fault-rate") {
        if (!ParseDouble(rest, 0, 1, &real))
            return false;
        f->faultRate = real;
        return true;
    }
    return false;
}

// Options of the form N:VALUE, each about chamber N.
bool TakeAddressedOption(const std::string& name, const std::string& value, ParseState* p)
{
    int address;
    std::string rest;
    if (!AddressAnd(value, &address, &rest))
        return false;
    SimOptions& o = p->options;
    p->faultAddresses.insert(address);
    Faults& f = o.faults[address];
    if (name == "--pin") {
        const size_t at = rest.find('=');
        long word, pinned;
        if (at == std::string::npos || !ParseLong(rest.substr(0, at), 0, kStatusWords - 1, &word) ||
            !ParseLong(rest.substr(at + 1), 0, 65535, &pinned))
            return false;
        o.pins[address].push_back({static_cast<int>(word), static_cast<uint16_t>(pinned)});
        return true;
    }
    if (name == "--outage") {
        SimOptions::Outage outage;
        if (!ParseOutage(rest, &outage))
            return false;
        o.outages[address] = outage;
        return true;
    }
    bool known = false;
    const bool ok = TakePiecing(name, rest, &f, &known);
    return known ? ok : TakeAnswerFault(name, rest, &f);
}

// One option with its value.
bool TakeOption(const std::string& name, const std::string& value, ParseState* p)
{
    bool known = false;
    bool ok = TakeLineOption(name, value, p, &known);
    if (!known)
        ok = TakeChamberFault(name, value, p, &known);
    if (!known)
        ok = TakeAddressedOption(name, value, p);
    return ok;
}

}  // namespace

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* out, std::string* error)
{
    ParseState p;
    auto fail = [&](const std::string& text) {
        *error = text;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (TakeFlag(name, &p.options))
            continue;
        if (!OptionsWithValue().count(name))
            return fail("unknown option " + args[i]);
        if (!inlineValue) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value");
            value = args[++i];
        }
        if (!TakeOption(name, value, &p))
            return fail("bad value for " + name + ": " + value);
    }

    SimOptions& o = p.options;
    if (o.chambers.empty())
        o.chambers.push_back(1);
    for (int address : p.faultAddresses)
        if (std::find(o.chambers.begin(), o.chambers.end(), address) == o.chambers.end())
            return fail("no chamber at address " + std::to_string(address) + " (add --chamber " +
                        std::to_string(address) + ")");
    if (p.haveGap)
        for (auto& entry : o.faults)
            entry.second.chunkGap = std::chrono::microseconds(std::llround(p.gapMs * 1000));
    *out = o;
    return true;
}

void ApplySimOptions(const SimOptions& options, BusSimulator* bus)
{
    bus->SetSeed(options.seed);
    bus->SetSpeed(options.speed);
    bus->SetControllerDelay(std::chrono::milliseconds(options.delayMs));
    for (int address : options.chambers)
        bus->AddChamber(address);
    for (const auto& entry : options.faults)
        bus->SetFaults(entry.first, entry.second);
    bus->SetStrict(options.strict);
    for (const auto& entry : options.pins)
        bus->WithChamber(entry.first, [&](ChamberModel& model) {
            for (const auto& pin : entry.second)
                model.PinStatusWord(pin.first, pin.second);
        });
}

}  // namespace sim

namespace sim {

double ApplyOutages(const SimOptions& options, BusSimulator* bus, double elapsedSeconds)
{
    double next = -1;
    for (const auto& [address, outage] : options.outages) {
        const bool silent = elapsedSeconds >= outage.from && (outage.to < 0 || elapsedSeconds < outage.to);
        Faults f = bus->GetFaults(address);
        if (f.silent != silent) {
            f.silent = silent;
            bus->SetFaults(address, f);
        }
        for (const double at : {outage.from, outage.to})
            if (at > elapsedSeconds && (next < 0 || at < next))
                next = at;
    }
    return next;
}

}  // namespace sim
