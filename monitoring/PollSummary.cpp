#include "monitoring/PollSummary.h"

#include "monitoring/StatusDecode.h"

namespace {
std::optional<double> Tenths(const Accepted& v)
{
    return v.accepted ? std::optional<double>(v.value / 10.0) : std::nullopt;
}
}  // namespace

PollFacts FactsFromReply(const StatusReply& reply, bool linkLost, qint64 time)
{
    PollFacts f;
    f.time = time;
    f.answered = reply.decoded;
    f.linkLost = linkLost;
    if (!reply.decoded)
        return f;
    f.currentTemp = Tenths(reply.currentTemp);
    f.setTemp = Tenths(reply.setTemp);
    f.currentHumidity = Tenths(reply.currentHumidity);
    f.setHumidity = Tenths(reply.setHumidity);
    if (reply.program.accepted)
        f.program = reply.program.value;
    if (reply.stepAccepted) {
        f.step = reply.step;
        f.steps = reply.steps;
    }
    if (reply.cycleAccepted) {
        f.cycle = reply.cycle;
        f.cycles = reply.cycles;
    }
    return f;
}

void CountPoll(WatchedStatus& s, const StatusReply& reply, bool found, qint64 time)
{
    if (found) {
        ++s.pollsAnswered;
        s.lastAnswered = time;
        s.link = LinkState::Up;
    } else {
        ++s.pollsUnanswered;
        s.link = LinkState::Down;
    }
    const PollFacts f = FactsFromReply(reply, false, time);
    auto keep = [](auto& field, const auto& value) {
        if (value)
            field = value;
    };
    keep(s.currentTemp, f.currentTemp);
    keep(s.setTemp, f.setTemp);
    keep(s.currentHumidity, f.currentHumidity);
    keep(s.setHumidity, f.setHumidity);
    keep(s.program, f.program);
    keep(s.step, f.step);
    keep(s.steps, f.steps);
    keep(s.cycle, f.cycle);
    keep(s.cycles, f.cycles);
}
