#pragma once

#include <QProcess>
#include <QTest>

// The real server binary, started for a test and killed when the object goes. Collects what
// the server writes to stdout and stderr.
class ServerProcess
{
public:
    ServerProcess()
    {
        process.setProgram(QStringLiteral(SERVER_EXE));
        // In the plain C locale, as a service or a minimal board starts it: the log must not
        // change for it.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        process.setProcessEnvironment(environment);
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the server and waits until both its HTTP and UDP sides are up.
    bool start(int timeoutMs = 5000)
    {
        process.start();
        return process.waitForStarted(timeoutMs) && QTest::qWaitFor([&] {
            return out().contains("Listen on port 8080\n")
                && err().contains("ORTVUDPTransceiver started @ port  1234\n");
        }, timeoutMs);
    }
    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    const QByteArray &out()
    {
        outText += process.readAllStandardOutput();
        return outText;
    }
    const QByteArray &err()
    {
        process.waitForReadyRead(0);
        errText += process.readAllStandardError();
        return errText;
    }

    QProcess process;

private:
    QByteArray outText;
    QByteArray errText;
};
