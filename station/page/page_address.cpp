#include "station/page/page_address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace korvastation {

using korvasim::Result;

namespace {

// Every address of this machine of the family (both with AF_UNSPEC).
std::vector<std::string> machine_addresses(int family)
{
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6) ||
            (family != AF_UNSPEC && a->ifa_addr->sa_family != family))
            continue;
        const bool v6 = a->ifa_addr->sa_family == AF_INET6;
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = v6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr)
                                 : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr);
        if (inet_ntop(a->ifa_addr->sa_family, address, text, sizeof text))
            found.push_back(text);
    }
    freeifaddrs(list);
    return found;
}

std::string in_url(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

} // namespace

bool loopback_host(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool PageAddress::loopback() const
{
    return loopback_host(host);
}

Result parse_page_address(const std::string& text, PageAddress* address)
{
    address->port_text = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address->host = text.substr(0, colon);
        address->port_text = text.substr(colon + 1);
        if (address->host.size() > 1 && address->host.front() == '[' && address->host.back() == ']')
            address->host = address->host.substr(1, address->host.size() - 2);
    }
    char* end = nullptr;
    const long port = strtol(address->port_text.c_str(), &end, 10);
    if (address->host.empty() || address->port_text.empty() || *end != '\0' || port < 0 || port > 65535)
        return Result::failure("bad --http '" + text + "': expected [HOST:]PORT, such as 8080 or 0.0.0.0:8080");
    address->port = static_cast<int>(port);
    return Result::ok();
}

Result listen_on(PageAddress* address, int* socket_out)
{
    const std::string where = address->host + ":" + address->port_text;
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address->host.c_str(), address->port_text.c_str(), &hints, &found);
    if (resolved != 0)
        return Result::failure("cannot serve the page on " + where + ": " + gai_strerror(resolved));
    int last_error = 0;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0)
            continue;
        // Reuse an address in TIME_WAIT, never one another program listens on.
        const int yes = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(s, a->ai_addr, a->ai_addrlen) == 0 && listen(s, 64) == 0) {
            sockaddr_storage bound = {};
            socklen_t size = sizeof bound;
            getsockname(s, reinterpret_cast<sockaddr*>(&bound), &size);
            address->port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            freeaddrinfo(found);
            *socket_out = s;
            return Result::ok();
        }
        last_error = errno;
        close(s);
    }
    freeaddrinfo(found);
    return Result::failure("cannot serve the page on " + where + ": " + strerror(last_error));
}

std::string url_of(const std::string& host, int port)
{
    return "http://" + in_url(host) + ":" + std::to_string(port) + "/";
}

std::string page_url(const PageAddress& address)
{
    if (address.wildcard())
        return url_of(address.host == "::" ? "::1" : "127.0.0.1", address.port);
    return url_of(address.host, address.port);
}

std::string urls_beyond_loopback(const PageAddress& address)
{
    if (address.loopback())
        return "";
    if (!address.wildcard())
        return url_of(address.host, address.port);
    std::string urls;
    for (const std::string& a : machine_addresses(address.host == "::" ? AF_INET6 : AF_INET))
        if (!loopback_host(a) && a.rfind("fe80:", 0) != 0)
            urls += (urls.empty() ? "" : ", ") + url_of(a, address.port);
    return urls.empty() ? "every address of this machine, port " + std::to_string(address.port) : urls;
}

std::set<std::string> own_hosts(const PageAddress& address)
{
    std::vector<std::string> names = {"localhost", "127.0.0.1", "::1", address.host};
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) {
        names.push_back(host);
        // The name the line's network gives it too ("bench3.line.example").
        addrinfo hints = {};
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
            if (found->ai_canonname)
                names.push_back(found->ai_canonname);
            freeaddrinfo(found);
        }
    }
    for (const std::string& a : machine_addresses(AF_UNSPEC))
        names.push_back(a);
    std::set<std::string> hosts;
    // With its port, or without (curl and raw clients may leave it out):
    // another site's name is refused either way.
    for (const std::string& name : names) {
        hosts.insert(in_url(name) + ":" + std::to_string(address.port));
        hosts.insert(in_url(name));
    }
    return hosts;
}

} // namespace korvastation
