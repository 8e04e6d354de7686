#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;

// TLS to a broker that the link reaches by address: the host name is looked up beforehand
// without blocking, so the MQTT library never sees it. OpenSSL itself checks the broker's
// certificate against the name the user gave, and the handshake names it (SNI), as a
// connection to the name would.
class ORTVBrokerTls
{
public:
    ORTVBrokerTls() = default;
    ~ORTVBrokerTls();
    ORTVBrokerTls(const ORTVBrokerTls &) = delete;
    ORTVBrokerTls &operator=(const ORTVBrokerTls &) = delete;

    // Trusts the CA certificates in `caFile` and expects a certificate for `serverName`, a host
    // name or an address. False, with the reason in errorString(), when the file is unusable.
    bool setUp(const QString &caFile, const QString &serverName);
    // The callbacks of every connection made with the context use this object, which must
    // outlive them.
    SSL_CTX *context() const { return ctx; }
    QString errorString() const { return failure; }
    // Why the broker's certificate was refused since the last call, if it was: the library
    // itself reports only a TLS or protocol error.
    QString takeRefusal() { return std::exchange(refusal, QString()); }
    // Whether a connection holds bytes read from its socket and not yet taken: the socket
    // alone does not tell.
    static bool holdsInput(const SSL *ssl);

private:
    static void onHandshakeEvent(const SSL *ssl, int where, int ret);
    static int onVerified(int preverified, X509_STORE_CTX *store);
    bool fail(const QString &what);

    SSL_CTX *ctx = nullptr;
    // Empty for an address, which a handshake does not name.
    QByteArray indicatedName;
    QString failure;
    QString refusal;
};
