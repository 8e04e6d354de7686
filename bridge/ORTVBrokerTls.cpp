#include "ORTVBrokerTls.h"

#include <QHostAddress>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

ORTVBrokerTls::~ORTVBrokerTls()
{
    SSL_CTX_free(ctx);
}

bool ORTVBrokerTls::holdsInput(const SSL *ssl)
{
    return SSL_has_pending(ssl) == 1;
}

bool ORTVBrokerTls::setUp(const QString &caFile, const QString &serverName)
{
    SSL_CTX_free(ctx);
    ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx)
        return fail(QStringLiteral("cannot set up TLS"));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (SSL_CTX_load_verify_locations(ctx, caFile.toLocal8Bit().constData(), nullptr) != 1)
        return fail(caFile);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &ORTVBrokerTls::onVerified);

    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(ctx);
    const QByteArray name = serverName.toUtf8();
    const bool isAddress = !QHostAddress(serverName).isNull();
    const int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, name.constData())
                                : X509_VERIFY_PARAM_set1_host(param, name.constData(), 0);
    if (named != 1)
        return fail(serverName);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    indicatedName = isAddress ? QByteArray() : name;
    SSL_CTX_set_app_data(ctx, this);
    SSL_CTX_set_info_callback(ctx, &ORTVBrokerTls::onHandshakeEvent);
    return true;
}

// The library names the address it connected to in the handshake; the broker's name replaces
// it before the first message is written, since a broker behind a proxy chooses its
// certificate by that name.
void ORTVBrokerTls::onHandshakeEvent(const SSL *ssl, int where, int)
{
    if (!(where & SSL_CB_HANDSHAKE_START))
        return;
    auto *self = static_cast<ORTVBrokerTls *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    auto *connection = const_cast<SSL *>(ssl);
    if (self->indicatedName.isEmpty())
        SSL_set_tlsext_host_name(connection, nullptr);
    else
        SSL_set_tlsext_host_name(connection, self->indicatedName.constData());
}

int ORTVBrokerTls::onVerified(int preverified, X509_STORE_CTX *store)
{
    if (!preverified) {
        const auto *ssl = static_cast<const SSL *>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto *self = static_cast<ORTVBrokerTls *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        self->refusal = QStringLiteral("certificate refused: %1").arg(
            QString::fromUtf8(X509_verify_cert_error_string(X509_STORE_CTX_get_error(store))));
    }
    return preverified;
}

bool ORTVBrokerTls::fail(const QString &what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    failure = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(text));
    SSL_CTX_free(ctx);
    ctx = nullptr;
    return false;
}
