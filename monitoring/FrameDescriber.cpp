#include "monitoring/FrameDescriber.h"

#include <QStringList>
#include <array>

#include "link/ChamberContract.h"
#include "link/Rtu.h"

namespace {

// CRC over the first length-2 bytes against the two last ones, low byte first.
bool CrcChecks(const uint8_t* bytes, int length)
{
    if (length < 4 || length > 256)
        return false;
    std::array<uint8_t, 256> frame{};
    std::copy(bytes, bytes + length, frame.begin());
    const uint16_t crc = Crc16(0, static_cast<uint8_t>(length - 3), frame.data());
    return bytes[length - 2] == (crc & 0xFF) && bytes[length - 1] == (crc >> 8);
}

int Word(const uint8_t* bytes, int at) { return bytes[at] * 256 + bytes[at + 1]; }

QString Tenths(int tenths)
{
    const int whole = std::abs(tenths) / 10;
    return QStringLiteral("%1%2.%3").arg(tenths < 0 ? QStringLiteral("-") : QString()).arg(whole).arg(std::abs(tenths) % 10);
}

QString HoursMinutes(int hours, int minutes)
{
    return QStringLiteral("%1:%2").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'));
}

QString CrcText(bool ok) { return ok ? QStringLiteral("CRC верна") : QStringLiteral("CRC НЕВЕРНА"); }

QString ExceptionName(int code)
{
    switch (code) {
    case 1: return QStringLiteral("недопустимая функция");
    case 2: return QStringLiteral("недопустимый адрес регистра");
    case 3: return QStringLiteral("недопустимое значение");
    case 4: return QStringLiteral("отказ устройства");
    case 6: return QStringLiteral("устройство занято");
    default: return QStringLiteral("код %1").arg(code);
    }
}

// The chamber's status words as the main window reads them: signed tenths of
// a degree, tenths of a percent, program, step and cycle pairs, times.
QString StatusValues(const uint8_t* data, int words)
{
    auto w = [&](int n) { return Word(data, 2 * n); };
    auto temp = [&](int n) { return w(n) > 50000 ? w(n) - 65536 : w(n); };
    QStringList parts;
    parts << QStringLiteral("T %1 (уст. %2) °C").arg(Tenths(temp(0)), Tenths(temp(2)));
    if (words >= kStatusWordCount)
        parts << QStringLiteral("RH %1 (уст. %2) %").arg(Tenths(w(15)), Tenths(w(16)));
    parts << QStringLiteral("программа %1").arg(w(1));
    parts << QStringLiteral("шаг %1(%2)").arg(w(10)).arg(w(11));
    parts << QStringLiteral("цикл %1(%2)").arg(w(12)).arg(w(13));
    parts << QStringLiteral("выход %1 (уст. %2)").arg(HoursMinutes(w(6), w(7)), HoursMinutes(w(14) / 60, w(14) % 60));
    parts << QStringLiteral("стабилизация %1 (уст. %2)").arg(HoursMinutes(w(4), w(5)), HoursMinutes(w(8), w(9)));
    return parts.join(QStringLiteral(", "));
}

QString NotWhole(int length)
{
    return QStringLiteral("не целый кадр (%1 байт)").arg(length);
}

}  // namespace

QString HexText(const uint8_t* bytes, int length)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(length * 3);
    for (int i = 0; i < length; ++i) {
        if (i)
            text += u' ';
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0F]);
    }
    return text;
}

int ReplyFrameLength(const uint8_t* bytes, int length)
{
    if (length < 3)
        return -1;
    const int function = bytes[1];
    if (function & kExceptionFlag)
        return 5;
    switch (function) {
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        return 3 + bytes[2] + 2;
    case kWriteSingleRegister:
    case kWriteMultipleRegisters:
        return 8;
    default:
        return -1;
    }
}

FrameMeaning DescribeRequest(const uint8_t* bytes, int length)
{
    FrameMeaning m;
    if (length < 4) {
        m.text = NotWhole(length);
        return m;
    }
    m.address = bytes[0];
    m.function = bytes[1];
    int expected = -1;
    if (m.function == kReadHoldingRegisters || m.function == kReadInputRegisters || m.function == kWriteSingleRegister)
        expected = 8;
    else if (m.function == kWriteMultipleRegisters && length >= 7)
        expected = 9 + bytes[6];
    m.wholeFrame = expected == length;
    m.crcOk = CrcChecks(bytes, length);
    if (!m.wholeFrame) {
        m.text = QStringLiteral("адрес %1, функция %2, %3, %4")
                     .arg(m.address)
                     .arg(m.function, 2, 16, QLatin1Char('0'))
                     .arg(NotWhole(length), CrcText(m.crcOk));
        return m;
    }
    const int first = Word(bytes, 2);
    if (m.function == kWriteMultipleRegisters) {
        const int count = Word(bytes, 4);
        QStringList values;
        for (int i = 0; i < bytes[6] / 2; ++i)
            values << QString::number(Word(bytes, 7 + 2 * i));
        m.text = QStringLiteral("адрес %1, запись (10) с регистра %2, %3 рег.: %4, %5")
                     .arg(m.address)
                     .arg(first)
                     .arg(count)
                     .arg(values.join(u' '), CrcText(m.crcOk));
    } else {
        m.text = QStringLiteral("адрес %1, чтение (%2) с регистра %3, %4 рег., %5")
                     .arg(m.address)
                     .arg(m.function, 2, 16, QLatin1Char('0'))
                     .arg(first)
                     .arg(Word(bytes, 4))
                     .arg(CrcText(m.crcOk));
    }
    return m;
}

FrameMeaning DescribeReply(const uint8_t* bytes, int length)
{
    FrameMeaning m;
    const int expected = ReplyFrameLength(bytes, length);
    if (length < 4 || expected != length) {
        m.text = NotWhole(length);
        return m;
    }
    m.wholeFrame = true;
    m.address = bytes[0];
    m.function = bytes[1];
    m.crcOk = CrcChecks(bytes, length);
    QString what;
    if (m.function & kExceptionFlag) {
        what = QStringLiteral("исключение %1 на функцию %2: %3")
                   .arg(bytes[2], 2, 16, QLatin1Char('0'))
                   .arg(m.function & 0x7F, 2, 16, QLatin1Char('0'))
                   .arg(ExceptionName(bytes[2]));
    } else if (m.function == kReadHoldingRegisters || m.function == kReadInputRegisters) {
        const int words = bytes[2] / 2;
        if (words >= kStatusRegisterCount) {
            what = QStringLiteral("состояние (%1 рег.): %2").arg(words).arg(StatusValues(bytes + 3, words));
        } else {
            QStringList values;
            for (int i = 0; i < words; ++i)
                values << QString::number(Word(bytes, 3 + 2 * i));
            what = QStringLiteral("%1 рег.: %2").arg(words).arg(values.join(u' '));
        }
        what = QStringLiteral("ответ (%1), %2").arg(m.function, 2, 16, QLatin1Char('0')).arg(what);
    } else {
        what = QStringLiteral("запись принята (%1): регистр %2, %3 рег.")
                   .arg(m.function, 2, 16, QLatin1Char('0'))
                   .arg(Word(bytes, 2))
                   .arg(Word(bytes, 4));
    }
    m.text = QStringLiteral("адрес %1, %2, %3").arg(m.address).arg(what, CrcText(m.crcOk));
    return m;
}
