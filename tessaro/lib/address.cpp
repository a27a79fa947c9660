#include "address.h"

#include <netdb.h>
#include <netinet/in.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "text/decimal.h"

namespace tessaro::lib {

namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

bool digits_and_dots(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return true;
}

// getaddrinfo result in our own form.
void collect(const addrinfo* list, std::vector<SocketAddress>& out) {
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        SocketAddress sa;
        std::memcpy(&sa.addr, ai->ai_addr, ai->ai_addrlen);
        sa.len = ai->ai_addrlen;
        out.push_back(sa);
    }
}

addrinfo hints_for(const Endpoint& ep) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    switch (ep.kind) {
        case Endpoint::Kind::Ipv4:
            hints.ai_family = AF_INET;
            hints.ai_flags |= AI_NUMERICHOST;
            break;
        case Endpoint::Kind::Ipv6:
            hints.ai_family = AF_INET6;
            hints.ai_flags |= AI_NUMERICHOST;
            break;
        case Endpoint::Kind::Name:
            // No AI_ADDRCONFIG: on a machine with loopback only it would hide
            // the very addresses a local controller listens on.
            hints.ai_family = AF_UNSPEC;
            break;
    }
    return hints;
}

// A name lookup shared between the caller and the helper thread doing it; the
// helper may outlive a caller that stopped waiting.
struct Lookup {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int rc = EAI_FAIL;
    std::vector<SocketAddress> found;
};

}  // namespace

bool parse_address(const std::string& text, int default_port, Endpoint& out, std::string& why) {
    Endpoint ep;
    std::string port_text;
    bool has_port = false;

    if (text.empty()) {
        ep.host = "127.0.0.1";
    } else if (text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            why = "unmatched '['";
            return false;
        }
        ep.host = text.substr(1, close - 1);
        ep.kind = Endpoint::Kind::Ipv6;
        if (ep.host.empty()) {
            why = "empty IPv6 literal";
            return false;
        }
        if (ep.host.find_first_of("[]") != std::string::npos) {
            why = "stray bracket";
            return false;
        }
        std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                why = "text after ']'";
                return false;
            }
            port_text = rest.substr(1);
            has_port = true;
        }
    } else {
        if (text.find(']') != std::string::npos) {
            why = "unmatched ']'";
            return false;
        }
        size_t colons = 0;
        for (char c : text) colons += (c == ':');
        if (colons >= 2) {
            ep.host = text;  // a bare IPv6 literal cannot carry a port
            ep.kind = Endpoint::Kind::Ipv6;
        } else if (colons == 1) {
            size_t colon = text.find(':');
            ep.host = text.substr(0, colon);
            port_text = text.substr(colon + 1);
            has_port = true;
            if (ep.host.empty()) ep.host = "127.0.0.1";
        } else {
            ep.host = text;
        }
        if (ep.kind != Endpoint::Kind::Ipv6) {
            for (char c : ep.host)
                if (!is_name_char(c)) {
                    why = "bad character in host name";
                    return false;
                }
            ep.kind = digits_and_dots(ep.host) ? Endpoint::Kind::Ipv4 : Endpoint::Kind::Name;
            if (ep.host.size() > 253) {
                why = "host name too long";
                return false;
            }
        }
    }

    if (has_port) {
        if (!text::parse_decimal<uint16_t>(port_text, 1, 65535, ep.port)) {
            why = "bad port";
            return false;
        }
    } else {
        if (default_port < 1 || default_port > 65535) {
            why = "port out of range";
            return false;
        }
        ep.port = static_cast<uint16_t>(default_port);
    }
    out = ep;
    return true;
}

bool resolve(const Endpoint& ep, std::chrono::steady_clock::time_point deadline,
             std::vector<SocketAddress>& out, std::string& why) {
    std::string service = std::to_string(ep.port);
    addrinfo hints = hints_for(ep);

    if (ep.kind != Endpoint::Kind::Name) {
        addrinfo* list = nullptr;
        int rc = ::getaddrinfo(ep.host.c_str(), service.c_str(), &hints, &list);
        if (rc != 0) {
            why = std::string("not a valid IP address: ") + gai_strerror(rc);
            return false;
        }
        collect(list, out);
        ::freeaddrinfo(list);
        if (out.empty()) why = "no usable address";
        return !out.empty();
    }

    auto lookup = std::make_shared<Lookup>();
    std::string host = ep.host;
    try {
        std::thread([lookup, host, service, hints] {
            addrinfo* list = nullptr;
            int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
            std::vector<SocketAddress> found;
            if (rc == 0) {
                collect(list, found);
                ::freeaddrinfo(list);
            }
            std::lock_guard<std::mutex> lk(lookup->mu);
            lookup->rc = rc;
            lookup->found = std::move(found);
            lookup->done = true;
            lookup->cv.notify_all();
        }).detach();
    } catch (const std::exception&) {
        why = "cannot start the name lookup";
        return false;
    }

    std::unique_lock<std::mutex> lk(lookup->mu);
    if (!lookup->cv.wait_until(lk, deadline, [&] { return lookup->done; })) {
        why = "name lookup timed out";
        return false;
    }
    if (lookup->rc != 0) {
        why = std::string("name lookup failed: ") + gai_strerror(lookup->rc);
        return false;
    }
    out = lookup->found;
    if (out.empty()) why = "no usable address";
    return !out.empty();
}

}  // namespace tessaro::lib
