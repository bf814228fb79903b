// The endpoint's request head, as any client on the network may send it:
// the bytes so far through ParseRequestHead and the answer built on it,
// without sockets.
//
// Byte 0 seeds the cuts where the head is looked at before it is all there
// (the server looks at it after every read); the rest is the head, no longer
// than the server reads (its limit and one byte more).
//
// A verdict given on part of the head stays the same on all of it; a
// complete request names a path of its own; every answer is one HTTP
// response whose Content-Length is its body's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "services/StatusEndpoint.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

bool Same(const RequestHead& a, const RequestHead& b)
{
    return a.state == b.state && a.headOnly == b.headOnly && a.path == b.path;
}

void CheckAnswer(const QByteArray& answer, const char* status, bool headOnly)
{
    if (!answer.startsWith(QByteArray("HTTP/1.1 ") + status))
        Mismatch("an answer with the wrong status");
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (end < 0)
        Mismatch("an answer without the end of its head");
    const QByteArray head = answer.left(end);
    const qsizetype at = head.indexOf("\r\nContent-Length: ");
    if (at < 0)
        Mismatch("an answer without its length");
    const qsizetype lineEnd = head.indexOf("\r\n", at + 2);
    bool ok = false;
    const qsizetype length = head.mid(at + 18, lineEnd < 0 ? -1 : lineEnd - at - 18).toLongLong(&ok);
    const qsizetype body = answer.size() - end - 4;
    if (!ok || (headOnly ? body != 0 : body != length))
        Mismatch("an answer whose body is not its Content-Length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const EndpointLimits limits;
    static const StatusEndpoint endpoint(limits);
    const size_t take = std::min<size_t>(size - 1, static_cast<size_t>(limits.maxHeaderBytes) + 1);
    const QByteArray buffer(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(take));

    const RequestHead whole = ParseRequestHead(buffer, false);
    // Looked at after every byte while the head is short, else at cuts.
    uint32_t seed = data[0] * 2654435761u + 3;
    for (qsizetype cut = 0; cut < buffer.size();) {
        const RequestHead part = ParseRequestHead(buffer.left(cut), false);
        if (part.state != RequestHead::State::Incomplete && !Same(part, whole))
            Mismatch("a verdict on part of the head changed with the rest");
        seed = seed * 1103515245u + 12345u;
        cut += buffer.size() <= 64 ? 1 : 1 + static_cast<qsizetype>((seed >> 16) % 256);
    }

    if (whole.state == RequestHead::State::Complete) {
        if (!whole.path.startsWith('/') || whole.path.contains('?') || whole.path.contains(' '))
            Mismatch("a complete request whose path is not one");
        const bool headOnly = buffer.startsWith("HEAD ");
        if (whole.headOnly != headOnly || (!headOnly && !buffer.startsWith("GET ")))
            Mismatch("a complete request with a method other than GET or HEAD");
    } else if (whole.headOnly || !whole.path.isEmpty()) {
        Mismatch("a path or method taken from a request not complete");
    }

    const QByteArray answer = endpoint.Answer(buffer, false);
    switch (whole.state) {
    case RequestHead::State::Incomplete:
        if (!answer.isEmpty())
            Mismatch("an answer to a head not complete");
        break;
    case RequestHead::State::TooLong:
        Mismatch("too long without the limit passed");
    case RequestHead::State::BadLine:
        CheckAnswer(answer, "400 ", false);
        break;
    case RequestHead::State::NotAllowed:
        CheckAnswer(answer, "405 ", false);
        break;
    case RequestHead::State::Complete: {
        const bool known = whole.path == "/metrics" || whole.path == "/api/status" || whole.path == "/";
        CheckAnswer(answer, known ? "200 " : "404 ", whole.headOnly);
        break;
    }
    }
    const RequestHead tooLong = ParseRequestHead(buffer, true);
    if (tooLong.state != RequestHead::State::TooLong)
        Mismatch("the limit passed but not said");
    CheckAnswer(endpoint.Answer(buffer, true), "431 ", false);
    return 0;
}
