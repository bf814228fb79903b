#include "ui/ReportSigning.h"

#include <QDateTime>
#include <QFileInfo>

#include "services/JournalRecorder.h"
#include "ui/AlarmCenter.h"
#include "services/RecorderClient.h"
#include "services/RemoteSignatures.h"

namespace {
struct DesktopSigning {
    std::unique_ptr<Signer> signer;
    std::shared_ptr<SignatureBook> own;       // the desktop's journal
    std::shared_ptr<SignatureBook> recorder;  // made when first attached
};

DesktopSigning& Signing()
{
    static DesktopSigning signing;
    return signing;
}
}  // namespace

Signer& DesktopSigner(bool ownJournal)
{
    DesktopSigning& d = Signing();
    if (!d.signer) {
        d.own = std::make_shared<FolderSignatureBook>(ActionJournalFolder());
        d.signer = std::make_unique<Signer>(d.own);
    }
    // The marker shows a lock, whichever signer the tests put.
    d.signer->OnLock([](const QString& login, qint64 untilMs) {
        if (AlarmCenter)
            AlarmCenter->SigningLocked(login, untilMs);
    });
    if (!ownJournal && DesktopRecorder().Wanted()) {
        if (!d.recorder)
            d.recorder = std::make_shared<RecorderSignatureBook>(DesktopRecorder(), ActionJournalFolder());
        d.signer->UseBook(d.recorder);
    } else {
        d.signer->UseBook(d.own);
    }
    return *d.signer;
}

void SetDesktopSignerForTests(std::unique_ptr<Signer> signer)
{
    DesktopSigning& d = Signing();
    d.signer = std::move(signer);
    d.own = d.signer ? d.signer->SharedBook() : nullptr;
    d.recorder.reset();
}

void JournalReportWritten(const WrittenReport& report, int signatures)
{
    JournalEntry entry = ReportWrittenEntry(report.number, QFileInfo(report.request.outPath).absoluteFilePath(),
                                            report.sha256, signatures);
    // Where the report's signatures go, so that --verify-report finds both in one journal.
    Signer& signer = DesktopSigner();
    if (DesktopRecorder().Wanted()) {
        signer.Book().Note(entry);
        return;
    }
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
    std::vector<Signature> all;
    QString readError;
    if (!signer.SignaturesOf(QString(), subject, &all, &readError)) {
        *message = QStringLiteral("подписано, но подписи не читаются: %1").arg(readError);
        return false;
    }
    for (const Signature& s : all)
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
