#include "ui/ReportSigning.h"

#include <QDateTime>
#include <QFileInfo>

#include "services/JournalRecorder.h"

namespace {
std::unique_ptr<Signer>& SignerSlot()
{
    static std::unique_ptr<Signer> signer;
    return signer;
}
}  // namespace

Signer& DesktopSigner()
{
    std::unique_ptr<Signer>& signer = SignerSlot();
    if (!signer)
        signer = std::make_unique<Signer>(ActionJournalFolder());
    return *signer;
}

void SetDesktopSignerForTests(std::unique_ptr<Signer> signer) { SignerSlot() = std::move(signer); }

void JournalReportWritten(const WrittenReport& report, int signatures)
{
    const JournalEntry entry = ReportWrittenEntry(report.number, QFileInfo(report.request.outPath).absoluteFilePath(),
                                                  report.sha256, signatures);
    RecordAction(entry.action, entry.chamber, entry.oldValue, entry.newValue, entry.outcome);
}

bool SignReport(Signer& signer, const QString& login, WrittenReport* report, SignatureMeaning meaning,
                const QString& password, QString* message)
{
    const QString subject = ReportSubject(report->number);
    const SignOutcome signedNow =
        signer.Sign(login, subject, report->sha256, meaning, password, QDateTime::currentMSecsSinceEpoch());
    if (!signedNow.ok) {
        *message = signedNow.error;
        return false;
    }
    // Written again with every signature the report has, its number kept.
    WrittenReport next = *report;
    next.request.number = report->number;
    next.request.signatures.clear();
    for (const Signature& s : SignaturesOf(signer.Folder(), QString(), subject))
        next.request.signatures << SignatureLine(s);
    QString error;
    ReportOutcome outcome;
    if (!WriteReportPdf(next.request, &error, &outcome)) {
        *message = QStringLiteral("подписано, но отчёт не записан заново: %1").arg(error);
        return false;
    }
    next.sha256 = outcome.sha256;
    JournalReportWritten(next, next.request.signatures.size());
    *report = next;
    *message = QStringLiteral("%1 подписан: %2").arg(subject, SignatureLine(signedNow.signature));
    return true;
}
