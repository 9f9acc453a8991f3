// A program of its own that records into the state folder its environment
// names, for what one process cannot show:
//   records_appender history N TAG   appends N history lines for device TAG
//   records_appender attempts N      makes N update attempts; prints each
//                                    warning given, one a line
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include <QCoreApplication>

#include "history.h"
#include "statefolder.h"
#include "updaterecord.h"
#include "uscause.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4 && argc != 3)
        return 64;
    const int n = std::atoi(argv[2]);
    if (std::strcmp(argv[1], "history") == 0 && argc == 4) {
        records::StateFolder folder;
        if (!folder.prepare())
            return 1;
        records::HistoryRecord r;
        r.program = QStringLiteral("records_appender");
        r.device = QString::fromUtf8(argv[3]);
        r.result = QStringLiteral("failed");
        // Long enough that a line written in pieces would show it.
        r.text = QString(6000, QLatin1Char(argv[3][0]));
        for (int i = 0; i < n; ++i) {
            r.time = QDateTime::currentDateTimeUtc();
            r.seconds = i;
            QString reason;
            if (!records::append_history(folder.history_path(), r, &reason))
                return 1;
        }
        return 0;
    }
    if (std::strcmp(argv[1], "attempts") == 0) {
        for (int i = 0; i < n; ++i) {
            records::UpdateRecord attempt(QStringLiteral("records_appender"), QStringLiteral("1.0.0"),
                                          QStringLiteral("dev%1").arg(i));
            const QString started = attempt.warning();
            if (!started.isEmpty())
                std::printf("%s\n", started.toUtf8().constData());
            attempt.finish(QStringLiteral("failed"), US_CAUSE_GONE, QStringLiteral("Gone."));
            if (attempt.warning() != started)
                std::printf("%s\n", attempt.warning().toUtf8().constData());
        }
        return 0;
    }
    return 64;
}
