#include "support/MetricsParse.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

bool ParsedMetrics::Find(const QString& name, const QString& labels, double* value) const
{
    int found = 0;
    for (auto it = samples.begin(); it != samples.end(); ++it) {
        if (it.key().startsWith(name + u'{') && it.key().contains(labels)) {
            *value = it.value();
            ++found;
        }
    }
    return found == 1;
}

ParsedMetrics ParseMetrics(const QByteArray& text)
{
    ParsedMetrics m;
    static const QRegularExpression sample(
        QStringLiteral(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*",?)*\})? (\S+)$)"));
    static const QRegularExpression type(QStringLiteral(R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (\w+)$)"));
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty() || line.startsWith(QStringLiteral("# HELP ")))
            continue;
        if (auto t = type.match(line); t.hasMatch()) {
            m.types[t.captured(1)] = t.captured(2);
            continue;
        }
        auto s = sample.match(line);
        bool ok = false;
        const QString number = s.hasMatch() ? s.captured(3) : QString();
        const double v = number == QStringLiteral("NaN") ? qQNaN() : number.toDouble(&ok);
        if (!s.hasMatch() || (!ok && number != QStringLiteral("NaN"))) {
            m.errors << line;
            continue;
        }
        m.samples[s.captured(1) + (s.captured(2).isEmpty() ? QStringLiteral("{}") : s.captured(2))] = v;
    }
    return m;
}

QString PromtoolCheck(const QByteArray& text, bool* available)
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    *available = !promtool.isEmpty();
    if (promtool.isEmpty())
        return {};
    QProcess p;
    p.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    p.write(text);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && out.isEmpty())
        return {};
    return out.isEmpty() ? QStringLiteral("exit %1").arg(p.exitCode()) : out;
}
