// Where the page is served and by which names it is reached: the
// "[HOST:]PORT" of the settings, the listening socket (never shared with
// another program), the URLs to tell, and the names a request may give as
// its Host (a page of another site that rebinds its name to this machine
// gives its own, and is refused).
#ifndef KORVASTATION_PAGE_ADDRESS_H
#define KORVASTATION_PAGE_ADDRESS_H

#include <set>
#include <string>

#include "sim/support/result.h"

namespace korvastation {

struct PageAddress {
    std::string host = "127.0.0.1";  // as given; loopback when none is named
    std::string port_text;
    int port = 0;                    // the port given, then the one bound
    bool loopback() const;
    bool wildcard() const { return host == "0.0.0.0" || host == "::"; }
};

// "[HOST:]PORT", "[::1]:8080".
korvasim::Result parse_page_address(const std::string& text, PageAddress* address);

// A listening socket on the address (port 0 takes a free one, then named in
// address->port), refused where another program listens.
korvasim::Result listen_on(PageAddress* address, int* socket);

std::string url_of(const std::string& host, int port);
// What a person browses to: loopback's URL for a wildcard address.
std::string page_url(const PageAddress& address);
// Beyond loopback: the URLs other machines reach the page by; else empty.
std::string urls_beyond_loopback(const PageAddress& address);

// The Host values a request to this page may carry: this machine's names
// and addresses, with the port.
std::set<std::string> own_hosts(const PageAddress& address);

bool loopback_host(const std::string& host);

} // namespace korvastation

#endif
