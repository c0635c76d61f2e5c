// A real PostgreSQL server for a test or a benchmark: Debian's initdb and pg_ctl in a
// temporary folder, as an unprivileged user, on 127.0.0.1 and a free port,
// with a trusted user "korva". available() is false (and why() says why)
// where the postgresql package is missing.
#ifndef KORVA_TESTS_POSTGRES_SERVER_H
#define KORVA_TESTS_POSTGRES_SERVER_H

#include <arpa/inet.h>
#include <cstdlib>
#include <glob.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

class PostgresServer {
public:
    PostgresServer()
    {
        glob_t found;
        if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &found) != 0) {
            why_ = "no PostgreSQL server here (Debian's postgresql package; scripts/setup.sh installs it)";
            return;
        }
        bin_ = std::string(found.gl_pathv[found.gl_pathc - 1]);
        bin_ = bin_.substr(0, bin_.rfind('/') + 1);
        globfree(&found);
        char pattern[] = "/tmp/korva-postgres-XXXXXX";
        if (!mkdtemp(pattern)) {
            why_ = "cannot make a folder for the server";
            return;
        }
        dir_ = pattern;
        port_ = free_port();
        // The server refuses to run as root.
        if (geteuid() == 0) {
            as_user_ = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
            shell("chown -R 65534:65534 " + dir_);
        }
        if (!shell(as_user_ + bin_ + "initdb -D " + dir_ + "/data -U korva -A trust --no-sync >" + dir_ +
                   "/initdb.log 2>&1")) {
            why_ = "initdb failed: " + text_of(dir_ + "/initdb.log");
            return;
        }
        started_ = start();
        if (!started_)
            why_ = "the server did not start: " + text_of(dir_ + "/server.log");
    }
    ~PostgresServer()
    {
        if (started_)
            stop();
        if (!dir_.empty())
            shell("rm -rf " + dir_);
    }

    bool available() const { return started_; }
    int port() const { return port_; }
    const std::string& why() const { return why_; }
    std::string uri(const std::string& database = "postgres") const
    {
        return "postgresql://korva@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }
    bool start()
    {
        return shell(as_user_ + bin_ + "pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -o '-p " +
                     std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=127.0.0.1 -c fsync=off' start >/dev/null");
    }
    // Immediately, as a server that crashes or loses its host.
    void stop() { shell(as_user_ + bin_ + "pg_ctl -D " + dir_ + "/data -m immediate -w stop >/dev/null 2>&1"); }

private:
    static bool shell(const std::string& command) { return system(command.c_str()) == 0; }
    static std::string text_of(const std::string& path)
    {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    static int free_port()
    {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        close(s);
        return ntohs(address.sin_port);
    }

    std::string bin_, dir_, as_user_, why_;
    int port_ = 0;
    bool started_ = false;
};

#endif
