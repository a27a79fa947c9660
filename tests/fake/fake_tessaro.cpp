/*
 * fake_tessaro.cpp - the recording fake of libtessaro (see fake_tessaro.h).
 * The operations themselves are made from xal_operations.def at the end.
 */
#include "fake_tessaro.h"

#include <algorithm>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <typeindex>

namespace fake {

namespace {

/* A record handed out; `block` is its copy until the Destroy of its own type frees it. */
struct Issued {
    std::type_index type = typeid(void);
    std::string issuer;
    const void* ptr = nullptr;
    void* block = nullptr;
    std::vector<std::string> givenBackThrough;
    bool mustGiveBack = true;
};

struct State {
    std::mutex mu;
    std::map<std::string, Script> scripts;
    std::vector<Call> log;
    std::vector<Issued> issued;
    std::vector<std::string> offences;

    State()
    {
#define XAL_WIRE_OP(name, ...) scripts[#name];
#define XAL_LOCAL_OP(name, ...) scripts[#name];
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
    }
};

State& state()
{
    static State* s = new State; /* never destroyed: a thread of a test may outlive main */
    return *s;
}

/* Logs the call and picks its answer (a custom function runs outside the lock). */
Answer answer(const Call& call)
{
    State& s = state();
    AnswerFn fn;
    Answer a;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.log.push_back(call);
        Script& sc = s.scripts.at(call.op);
        if (sc.fn) {
            fn = sc.fn;
        } else if (sc.next < sc.seq.size()) {
            a = sc.seq[sc.next++];
        } else {
            a = sc.def;
        }
    }
    return fn ? fn(call) : a;
}

/* ---- Arguments: logged by kind, then the answer applied to them -------------- */

template <class T> void note(Call& c, T v)
{
    if constexpr (std::is_integral<T>::value || std::is_enum<T>::value) {
        c.ints.push_back(static_cast<long long>(v));
    } else if constexpr (std::is_same<T, const char*>::value) {
        c.texts.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    } else if constexpr (std::is_function<std::remove_pointer_t<T>>::value) {
        c.ptrs.push_back(reinterpret_cast<const void*>(v));
    } else {
        c.ptrs.push_back(v);
    }
}

/* Writes out-params in order, and fills a buffer with the size that follows it. */
struct Apply {
    const Answer& a;
    size_t nextOut = 0;
    unsigned char* buffer = nullptr;

    template <class T> void operator()(T v)
    {
        if constexpr (std::is_same<T, char*>::value || std::is_same<T, void*>::value) {
            buffer = static_cast<unsigned char*>(static_cast<void*>(v));
        } else if constexpr (std::is_integral<T>::value) {
            if (buffer && v > 0) {
                fill(static_cast<size_t>(v));
            }
            buffer = nullptr;
        } else if constexpr (std::is_pointer<T>::value && std::is_integral<std::remove_pointer_t<T>>::value &&
                             !std::is_const<std::remove_pointer_t<T>>::value) {
            size_t k = nextOut++;
            if (v && k < a.outs.size()) {
                *v = static_cast<std::remove_pointer_t<T>>(a.outs[k]);
            }
        }
    }

    void fill(size_t size)
    {
        if (a.fillText) {
            size_t n = std::min(a.fillText->size(), size - 1);
            memcpy(buffer, a.fillText->data(), n);
            buffer[n] = '\0';
        }
        if (a.fillBytes) {
            memcpy(buffer, a.fillBytes->data(), std::min(a.fillBytes->size(), size));
        }
    }
};

/* Hands out a fresh copy of the answer's record, tracking it. */
template <class T> T* issue(const char* op, const Answer& a)
{
    if (std::holds_alternative<std::monostate>(a.record)) {
        return nullptr;
    }
    const T* scripted = std::get_if<T>(&a.record);
    if (!scripted) {
        ADD_FAILURE() << "fake: " << op << " was scripted with a record of another type";
        return nullptr;
    }
    T* rec = static_cast<T*>(malloc(sizeof(T)));
    if (!rec) {
        throw std::bad_alloc();
    }
    *rec = *scripted;
    bool mustGiveBack = !std::is_same<T, XAL_JOBNODEINFO>::value; /* the library keeps these */
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.issued.push_back(Issued{typeid(T), op, rec, rec, {}, mustGiveBack});
    return rec;
}

/* A record given back through Destroy operation `op`: freed when it is of the Destroy's type. */
template <class T> void giveBack(const char* op, const T* rec)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    /* The latest record at that address: an earlier one's address may have been reused. */
    auto it = std::find_if(s.issued.rbegin(), s.issued.rend(), [&](const Issued& r) { return r.ptr == rec; });
    if (!rec || it == s.issued.rend()) {
        std::ostringstream why;
        why << op << "(" << static_cast<const void*>(rec) << ") got a pointer the fake did not hand out";
        s.offences.push_back(why.str());
        return;
    }
    it->givenBackThrough.push_back(op);
    if (it->type == typeid(T)) {
        free(it->block);
        it->block = nullptr;
    }
}

/* A record given back through a Destroy operation. */
template <class... A> void afterCall(const char*, A...) {}
template <class T, class = std::enable_if_t<std::is_class<T>::value>> void afterCall(const char* op, T* rec)
{
    giveBack(op, rec);
}

} // namespace

/* One call of any operation. */
template <class Ret, class... A> Ret invoke(const char* op, A... args)
{
    Call c;
    c.op = op;
    (note(c, args), ...);
    Answer a = answer(c);
    Apply apply{a};
    (apply(args), ...);
    if constexpr (std::is_pointer<Ret>::value) {
        return issue<std::remove_pointer_t<Ret>>(op, a);
    } else {
        afterCall(op, args...);
        return static_cast<Ret>(a.result);
    }
}

/* ---- Scripts and queries ------------------------------------------------------- */

Script& Script::always(Answer a)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn = nullptr;
    def = std::move(a);
    return *this;
}

Script& Script::sequence(std::vector<Answer> as)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn = nullptr;
    seq.insert(seq.end(), as.begin(), as.end());
    return *this;
}

Script& Script::custom(AnswerFn f)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn = std::move(f);
    return *this;
}

Script& on(const std::string& op)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.scripts.find(op);
    if (it == s.scripts.end()) {
        throw std::invalid_argument("fake::on: no operation named " + op);
    }
    return it->second;
}

AnswerFn byText(size_t k, std::map<std::string, Answer> map, Answer otherwise)
{
    return [k, map = std::move(map), otherwise = std::move(otherwise)](const Call& c) {
        auto it = k < c.texts.size() && c.texts[k] ? map.find(*c.texts[k]) : map.end();
        return it != map.end() ? it->second : otherwise;
    };
}

AnswerFn byInt(size_t k, std::map<long long, Answer> map, Answer otherwise)
{
    return [k, map = std::move(map), otherwise = std::move(otherwise)](const Call& c) {
        auto it = k < c.ints.size() ? map.find(c.ints[k]) : map.end();
        return it != map.end() ? it->second : otherwise;
    };
}

void reset()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& sc : s.scripts) {
        sc.second = Script();
    }
    s.log.clear();
    for (Issued& rec : s.issued) {
        free(rec.block);
    }
    s.issued.clear();
    s.offences.clear();
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(state().mu);
    return state().log;
}

std::vector<Call> calls(const std::string& op)
{
    std::vector<Call> all = calls(), out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out), [&](const Call& c) { return c.op == op; });
    return out;
}

size_t count(const std::string& op) { return calls(op).size(); }

std::vector<std::string> ops()
{
    std::vector<std::string> out;
    for (const Call& c : calls()) {
        out.push_back(c.op);
    }
    return out;
}

::testing::AssertionResult recordsGivenBackOnce()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::ostringstream why;
    for (const Issued& rec : s.issued) {
        size_t n = rec.givenBackThrough.size();
        if (rec.mustGiveBack && n != 1) {
            why << "\n  a record from " << rec.issuer << " was given back " << n << " times";
        } else if (!rec.mustGiveBack && n != 0) {
            why << "\n  a record from " << rec.issuer << " that stays the library's was given back";
        } else if (n == 1 && rec.block) {
            why << "\n  a record from " << rec.issuer << " was given to " << rec.givenBackThrough[0];
        }
    }
    for (const std::string& o : s.offences) {
        why << "\n  " << o;
    }
    if (why.str().empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "records not given back properly:" << why.str();
}

} // namespace fake

/* ---- The operations, one per entry of the list ------------------------------------ */

#define FAKE_COUNT(...) FAKE_COUNT_(__VA_ARGS__, 4, 3, 2, 1, 0)
#define FAKE_COUNT_(a, b, c, d, n, ...) n
#define FAKE_CAT(a, b) FAKE_CAT_(a, b)
#define FAKE_CAT_(a, b) a##b
#define FAKE_PARAMS(...) FAKE_CAT(FAKE_PARAMS_, FAKE_COUNT(__VA_ARGS__))(__VA_ARGS__)
#define FAKE_PARAMS_1(A) A a0
#define FAKE_PARAMS_2(A, B) A a0, B a1
#define FAKE_PARAMS_3(A, B, C) A a0, B a1, C a2
#define FAKE_PARAMS_4(A, B, C, D) A a0, B a1, C a2, D a3
#define FAKE_ARGS(...) FAKE_CAT(FAKE_ARGS_, FAKE_COUNT(__VA_ARGS__))
#define FAKE_ARGS_1 a0
#define FAKE_ARGS_2 a0, a1
#define FAKE_ARGS_3 a0, a1, a2
#define FAKE_ARGS_4 a0, a1, a2, a3
#define FAKE_DEFINE(name, Ret, Params) \
    Ret name(FAKE_PARAMS Params) { return fake::invoke<Ret>(#name, FAKE_ARGS Params); }

extern "C" {
#define XAL_WIRE_OP(name, wire, request, roles, reply, record, state, Ret, Params) FAKE_DEFINE(name, Ret, Params)
#define XAL_LOCAL_OP(name, Ret, Params) FAKE_DEFINE(name, Ret, Params)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
}
