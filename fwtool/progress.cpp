#include "progress.h"

#include <algorithm>

#include <QJsonObject>
#include <QString>

#include "console.h"
#include "output.h"

namespace fwtool {

Progress::Progress(bool json, bool terminal)
    : json_(json), terminal_(terminal)
{
}

void Progress::show(uint32_t sent, uint32_t total)
{
    // Nothing is reported before the first byte has gone out.
    if (total == 0 || sent == 0)
        return;
    if (sent > total)
        sent = total;
    if (!clock_.isValid() && sent > 0)
        clock_.start();
    const int percent = int(uint64_t(sent) * 100 / total);
    if (json_) {
        if (percent > last_percent_) {
            QJsonObject o;
            o.insert(QStringLiteral("event"), QStringLiteral("progress"));
            o.insert(QStringLiteral("sent"), double(sent));
            o.insert(QStringLiteral("total"), double(total));
            out_json(o);
        }
        last_percent_ = std::max(last_percent_, percent);
        return;
    }
    if (!terminal_) {
        if (percent > last_percent_)
            err_line(QStringLiteral("progress: %1%").arg(percent));
        last_percent_ = std::max(last_percent_, percent);
        return;
    }
    // Redrawn only as bytes go out: once the transfer has ended and other
    // lines followed, the bar stays away.
    if (sent == last_sent_)
        return;
    last_sent_ = sent;
    const int width = 30;
    const int filled = percent * width / 100;
    const double seconds = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0.0;
    const double rate = seconds > 0.05 ? sent / seconds : 0.0;
    QString left = QStringLiteral("--:--");
    if (rate > 0) {
        const int s = int((total - sent) / rate + 0.5);
        left = QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    }
    const QString line = QStringLiteral("[%1%2] %3% %4/%5 bytes %6 KB/s %7 left")
                             .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('.')))
                             .arg(percent, 3)
                             .arg(sent)
                             .arg(total)
                             .arg(rate / 1024.0, 0, 'f', 1)
                             .arg(left);
    err_text(QString::fromStdString(redrawn_line(line.toStdString(), drawn_width_)));
    drawn_width_ = size_t(line.size());
    drawn_ = true;
    last_percent_ = percent;
}

void Progress::clear()
{
    if (drawn_)
        err_text(QString::fromStdString(erased_line(drawn_width_)));
    drawn_ = false;
    drawn_width_ = 0;
}

} // namespace fwtool
