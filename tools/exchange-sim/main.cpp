// exchange-sim: a local stand-in for the exchange's REST and stream services,
// over TLS, for the test suites and the demo. See --help and README.md.
#include <csignal>
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include <openssl/ssl.h>

#include "CMarketModel.h"
#include "CSimControl.h"
#include "CSimServer.h"
#include "CStopSignal.h"
#include "SimLog.h"
#include "SimOptions.h"
#include "TestCertificates.h"

static CStopSignal* stopSignal = nullptr;

static void OnSignal(int) {
    if (stopSignal) stopSignal->Raise();
}

// Makes a CA and a server certificate for the host names, writes them into
// dir, and returns the server's pair.
static TestCertificate MakeCertificates(const SimOptions& options) {
    mkdir(options.makeCertsDir.c_str(), 0755);
    TestCertificateAuthority authority("exchange-sim CA");
    TestCertificate server = authority.IssueServer(options.hosts);
    const std::string dir = options.makeCertsDir + "/";
    if (!authority.IsValid() || !server.IsValid() || !authority.Root().Save(dir + "ca.pem", dir + "ca-key.pem") ||
        !server.Save(dir + "server.pem", dir + "server-key.pem"))
        return TestCertificate();
    return server;
}

static SslCtxPtr MakeContext(const TestCertificate& certificate) {
    SslCtxPtr context(SSL_CTX_new(TLS_server_method()));
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // Writes may be retried with a moved buffer after a partial write.
    SSL_CTX_set_mode(context.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (!certificate.UseIn(context.get())) return nullptr;
    return context;
}

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(argc, argv, options, error)) {
        fprintf(stderr, "exchange-sim: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    // Checked before any file is written.
    CMarketModel model(static_cast<uint32_t>(options.seed));
    if (!options.freezeClock.empty() && !model.FreezeClock(options.freezeClock)) {
        fprintf(stderr, "exchange-sim: bad --freeze-clock \"%s\"\n", options.freezeClock.c_str());
        return 2;
    }
    const TestCertificate certificate = options.makeCertsDir.empty()
                                            ? TestCertificate::Load(options.certFile, options.keyFile)
                                            : MakeCertificates(options);
    SslCtxPtr context = certificate.IsValid() ? MakeContext(certificate) : nullptr;
    if (!context) {
        fprintf(stderr, "exchange-sim: cannot make or load the server certificate\n");
        return 1;
    }
    CStopSignal stop;
    stopSignal = &stop;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CSimControl control(options, model);
    CSimServer server(options, context.get(), model, control, stop);
    if (!server.Listen(error)) {
        fprintf(stderr, "exchange-sim: %s\n", error.c_str());
        return 1;
    }
    printf("rest-port %d\nstream-port %d\n", server.RestPort(), server.StreamPort());
    fflush(stdout);
    SimLog("listening: REST on %s:%d (dir %s), stream on %s:%d, rate %g/s, REST faults %s, stream faults %s",
           options.bindAddress.c_str(), server.RestPort(), options.apiDir.c_str(), options.bindAddress.c_str(),
           server.StreamPort(), options.rate, options.restFaults.ToString().c_str(),
           options.streamFaults.ToString().c_str());
    server.Run();
    stopSignal = nullptr;
    return 0;
}
