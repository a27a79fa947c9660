/*
 * fake_tessaro.h - a recording fake of libtessaro for unit tests.
 *
 * The static library `tessaro_fake` defines every operation of
 * xal_operations.def as a plain extern "C" function; link it in place of
 * libtessaro.so. Each call is logged with its arguments, answered from the
 * operation's script, and the answer applied: out-params written, the
 * caller's buffer filled, a fresh copy of a scripted record handed out.
 *
 *     void SetUp() override { fake::reset(); }
 *
 *     fake::on("GetNode").always(7);                          // every call: 7
 *     fake::on("GetNodeValueStringLen").sequence({5, -4});    // 1st 5, 2nd -4, then the default
 *     fake::on("GetNodeValueString").always(fake::Answer(0).text("hello"));
 *     fake::on("GetNodeObjectCount").always(fake::Answer(0).out(3));
 *     fake::on("GetNodeInfo").always(info);                   // an XAL_NODEINFO, copied per call
 *     fake::on("GetNode").custom(fake::byText(0, {{"a", 5}}, -1));
 *
 *     EXPECT_EQ(fake::calls("GetNode")[0].texts[0], "a");
 *     EXPECT_TRUE(fake::recordsGivenBackOnce());
 *
 * Unscripted operations answer 0 (no out-param written, no buffer filled) or
 * NULL. Any thread may call the operations; custom functions run outside the
 * fake's lock. reset() must not race with anything. A test plays the
 * library's thread by calling the handler it registered from a thread of its
 * own.
 */
#ifndef FAKE_TESSARO_H
#define FAKE_TESSARO_H

#include "xal_tessaro.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace fake {

/** A text for a char* field of a scripted record: the fake only copies it. */
inline char* str(const char* s) { return const_cast<char*>(s); }

/**
 * One call, its arguments split by kind, each in parameter order: `ints`
 * (handles, sizes, positions, the type, the port), `texts` (const char*,
 * nullopt for NULL) and `ptrs` (buffers, out-params, records given back,
 * the handler).
 */
struct Call {
    std::string op;
    std::vector<long long> ints;
    std::vector<std::optional<std::string>> texts;
    std::vector<const void*> ptrs;
};

/**
 * A record to hand out, as the C struct the library fills in. Every call
 * hands out a fresh malloc'd copy of the struct, so a use after it was given
 * back shows under AddressSanitizer; its texts and arrays stay the test's.
 */
using Record = std::variant<std::monostate, XAL_NODEINFO, XAL_JOBINFO, XAL_JOBNODEINFO, XAL_DRIVERINFO,
                            XAL_DEVICEINFO, XAL_SINGLEDEVICEINFO>;

/** What one call answers: a result or a record, refined by the setters. */
struct Answer {
    Answer(long long r = 0) : result(r) {}
    template <class R, class = std::enable_if_t<std::is_class<R>::value>>
    Answer(const R& r) : record(r) {}

    /** The value for the next out-param (written only through a non-NULL pointer). */
    Answer& out(long long v) { outs.push_back(v); return *this; }
    /** Copies `s` into the caller's buffer, cut to size - 1 bytes, and terminates it. */
    Answer& text(std::string s) { fillText = std::move(s); return *this; }
    /** Copies the bytes into the caller's buffer as they are, at most size, no terminator. */
    Answer& bytes(std::vector<unsigned char> b) { fillBytes = std::move(b); return *this; }

    long long result = 0;
    Record record;
    std::vector<long long> outs;
    std::optional<std::string> fillText;
    std::optional<std::vector<unsigned char>> fillBytes;
};

using AnswerFn = std::function<Answer(const Call&)>;

/**
 * The script of one operation: a custom function if set, else the next
 * unused answer of the sequence, else the default. Each setter drops a
 * custom function set before it.
 */
struct Script {
    Script& always(Answer a);
    Script& sequence(std::vector<Answer> as);
    Script& custom(AnswerFn fn);

    Answer def;
    std::vector<Answer> seq;
    size_t next = 0;
    AnswerFn fn;
};

/** The script of an operation; throws std::invalid_argument for a name that is none. */
Script& on(const std::string& op);
/** Answers map[text argument k], else `otherwise` (also for NULL). */
AnswerFn byText(size_t k, std::map<std::string, Answer> map, Answer otherwise = Answer());
/** Answers map[integer argument k], else `otherwise`. */
AnswerFn byInt(size_t k, std::map<long long, Answer> map, Answer otherwise = Answer());

/** Forgets every script, call, record and registration. Call it in every SetUp. */
void reset();
std::vector<Call> calls();
std::vector<Call> calls(const std::string& op);
size_t count(const std::string& op);
/** The operation names of all calls, in order. */
std::vector<std::string> ops();

/**
 * Success when every record handed out was given back exactly once, through
 * the Destroy of its own type, and no Destroy got a pointer the fake did not
 * hand out (NULL included). Job node type records stay the library's.
 */
::testing::AssertionResult recordsGivenBackOnce();

} // namespace fake

#endif /* FAKE_TESSARO_H */
