// Opening a server session: connection properties onto libpq's keywords,
// TLS material in private temporary files, the server's SQLSTATE of a
// refused connection.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "pg_backend.h"

namespace zkv {
namespace {

using Properties = std::map<std::string, std::string>;

std::string property(const Properties& properties, const char* name) {
    auto it = properties.find(name);
    return it == properties.end() ? std::string() : it->second;
}

bool isFalse(const std::string& value) {
    std::string v;
    for (char c : value) v += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return v == "false" || v == "no" || v == "0" || v == "off";
}

// "CONNECTTIMEOUT" in milliseconds for the whole connect: 30 s when
// absent; 0 (or no number) waits as long as the operating system does.
int64_t connectTimeoutMs(const std::string& value) {
    if (value.empty()) return 30000;
    char* end = nullptr;
    long long ms = std::strtoll(value.c_str(), &end, 10);
    return end == value.c_str() || ms < 0 ? 0 : ms;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "h1:p1,h2:p2" (or "[v6]:p") as libpq's parallel host and port lists.
void splitServerNodes(const std::string& nodes, std::string& hosts, std::string& ports) {
    size_t start = 0;
    while (start <= nodes.size()) {
        size_t comma = nodes.find(',', start);
        std::string node = nodes.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t colon = node.rfind(':');
        std::string host = node, port;
        if (colon != std::string::npos && node.find(']', colon) == std::string::npos) {
            host = node.substr(0, colon);
            port = node.substr(colon + 1);
        }
        if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (!hosts.empty() || start > 0) {
            hosts += ',';
            ports += ',';
        }
        hosts += host;
        ports += port;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

// Private files holding PEM text for libpq, removed once connected.
class TlsFiles {
public:
    ~TlsFiles() {
        for (const std::string& path : paths_) unlink(path.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool write(const char* name, const std::string& text, std::string& path, BackendError& err) {
        if (dir_.empty()) {
            char pattern[] = "/tmp/zkv-tls.XXXXXX";
            if (!mkdtemp(pattern)) return fail(err);
            dir_ = pattern;
        }
        path = dir_ + "/" + name;
        FILE* file = std::fopen(path.c_str(), "w");
        if (!file) return fail(err);
        paths_.push_back(path);
        fchmod(fileno(file), 0600);
        bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        ok = std::fclose(file) == 0 && ok;
        return ok || fail(err);
    }

private:
    static bool fail(BackendError& err) {
        err = makeError(kConnectFailed, "08001", std::string("Cannot write TLS material: ") + std::strerror(errno));
        return false;
    }
    std::string dir_;
    std::vector<std::string> paths_;
};

// The PEM blocks of one kind ("PRIVATE KEY" matches every key block).
std::string pemBlocks(const std::string& pem, const char* kind) {
    std::string out;
    size_t pos = 0;
    while ((pos = pem.find("-----BEGIN ", pos)) != std::string::npos) {
        size_t labelEnd = pem.find("-----", pos + 11);
        size_t end = labelEnd == std::string::npos ? labelEnd : pem.find("-----END ", labelEnd);
        if (end == std::string::npos) break;
        size_t stop = pem.find("-----", end + 9);
        stop = stop == std::string::npos ? pem.size() : stop + 5;
        if (pem.substr(pos + 11, labelEnd - pos - 11).find(kind) != std::string::npos)
            out += pem.substr(pos, stop - pos) + "\n";
        pos = stop;
    }
    return out;
}

struct ConnectParams {
    std::vector<std::pair<std::string, std::string>> pairs;
    void add(const char* key, const std::string& value) {
        if (!value.empty()) pairs.emplace_back(key, value);
    }
};

bool addTls(const Properties& properties, ConnectParams& params, TlsFiles& files, BackendError& err) {
    std::string trust = property(properties, "ssltruststore");
    std::string keyStore = property(properties, "sslkeystore");
    std::string encrypt = property(properties, "encrypt");
    std::string validate = property(properties, "sslvalidatecertificate");
    if (!trust.empty()) {
        std::string path;
        if (!files.write("root.crt", trust, path, err)) return false;
        params.add("sslrootcert", path);
        params.add("sslmode", isFalse(validate) ? "require" : "verify-full");
    } else if (!encrypt.empty()) {
        params.add("sslmode", isFalse(encrypt) ? "disable" : "require");
    }
    if (!keyStore.empty()) {
        std::string certPath, keyPath;
        if (!files.write("client.crt", pemBlocks(keyStore, "CERTIFICATE"), certPath, err) ||
            !files.write("client.key", pemBlocks(keyStore, "PRIVATE KEY"), keyPath, err))
            return false;
        params.add("sslcert", certPath);
        params.add("sslkey", keyPath);
    }
    return true;
}

// "FATAL:  28P01:  message" (verbose form) -> SQLSTATE and message.
void parseConnectError(const std::string& text, std::string& sqlstate, std::string& message) {
    sqlstate = "08001";
    message = text;
    size_t pos = text.find(":  ");
    if (pos != std::string::npos && pos + 8 <= text.size() && text.compare(pos + 8, 2, ": ") == 0) {
        sqlstate = text.substr(pos + 3, 5);
        message = text.substr(0, pos + 3) + text.substr(pos + 10);
    }
    size_t location = message.find("\nLOCATION:");
    if (location != std::string::npos) message.erase(location);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
}

// libpq's own connect_timeout holds only for its blocking connect, so the
// wait is limited here. timedOut tells a connect given up at the limit.
PGconn* connectAndWait(const ConnectParams& params, int64_t timeoutMs, bool& timedOut) {
    std::vector<const char*> keys, values;
    for (const auto& pair : params.pairs) {
        keys.push_back(pair.first.c_str());
        values.push_back(pair.second.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = libpq().PQconnectStartParams(keys.data(), values.data(), 0);
    if (!conn) return nullptr;
    // Verbose errors carry the server's SQLSTATE of a refused connection.
    libpq().PQsetErrorVerbosity(conn, PQERRORS_VERBOSE);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    int64_t deadline = timeoutMs > 0 ? nowMs() + timeoutMs : 0;
    timedOut = false;
    while (libpq().PQstatus(conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        int64_t left = deadline ? deadline - nowMs() : 1000;
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{libpq().PQsocket(conn), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        if (fd.fd >= 0 && poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, 1000))) == 0) continue;
        state = libpq().PQconnectPoll(conn);
    }
    libpq().PQsetErrorVerbosity(conn, PQERRORS_DEFAULT);
    return conn;
}

}  // namespace

std::shared_ptr<BackendSession> openPgSession(const Properties& properties,
                                              const std::map<std::string, std::string>& clientInfo,
                                              int isolationLevel, BackendError& err) {
    std::string missingLibrary;
    if (!loadLibPq(missingLibrary)) {
        err = makeError(kConnectFailed, "08001", "Connection failed: " + missingLibrary);
        return nullptr;
    }
    ConnectParams params;
    std::string hosts, ports;
    splitServerNodes(property(properties, "servernode"), hosts, ports);
    params.add("host", hosts);
    params.add("port", ports);
    params.add("user", property(properties, "uid"));
    params.add("password", property(properties, "pwd"));
    params.add("dbname", property(properties, "databasename"));
    auto application = clientInfo.find("APPLICATION");
    params.add("application_name", application != clientInfo.end() ? application->second : "zelk");
    params.add("client_encoding", "UTF8");
    // A server that went away (a lost network, a machine gone) is noticed
    // within about a minute, also by a call waiting for a result.
    params.add("keepalives", "1");
    params.add("keepalives_idle", "30");
    params.add("keepalives_interval", "10");
    params.add("keepalives_count", "3");
    params.add("tcp_user_timeout", "60000");
    TlsFiles files;
    if (!addTls(properties, params, files, err)) return nullptr;
    std::string timeout = property(properties, "connecttimeout");
    bool timedOut = false;
    PGconn* conn = connectAndWait(params, connectTimeoutMs(timeout), timedOut);
    if (!conn) {
        err = makeError(kConnectFailed, "08001", "Connection failed: out of memory");
        return nullptr;
    }
    if (timedOut) {
        libpq().PQfinish(conn);
        err = makeError(kConnectFailed, "08001",
                        "Connection failed (ServerNode " + property(properties, "servernode") + "): timeout after " +
                            std::to_string(connectTimeoutMs(timeout)) + " ms");
        return nullptr;
    }
    if (libpq().PQstatus(conn) != CONNECTION_OK) {
        std::string sqlstate, message;
        parseConnectError(libpq().PQerrorMessage(conn), sqlstate, message);
        libpq().PQfinish(conn);
        err = makeError(kConnectFailed, sqlstate.c_str(),
                        "Connection failed (ServerNode " + property(properties, "servernode") + "): " + message);
        return nullptr;
    }
    auto session = std::make_shared<PgSession>(conn);
    if (!session->setUp(isolationLevel, err)) return nullptr;
    std::string schema = property(properties, "currentschema");
    if (!schema.empty() && !session->setSearchPath(schema, err)) return nullptr;
    return session;
}

}  // namespace zkv
