#include "previewwindow.h"

#include "boardview.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QStringList Columns{QStringLiteral("Name"),   QStringLiteral("Value"),
                          QStringLiteral("State"),  QStringLiteral("Time"),
                          QStringLiteral("Source"), QStringLiteral("Why unavailable")};

QString valueText(const std::optional<FieldValue> &value, bool float32) {
    if (!value)
        return QStringLiteral("-");
    if (const auto *number = std::get_if<double>(&*value))
        return numberText(*number, float32);
    return std::get<QString>(*value);
}

QString timeText(const QDateTime &time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("-");
}

} // namespace

PreviewWindow::PreviewWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_readAt(new QLabel(this))
    , m_figures(new QTableWidget(0, int(Columns.size()), this)) {
    setObjectName(QStringLiteral("frmPreview"));
    setWindowTitle(QStringLiteral("Preview of the boards"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *pages = new QGridLayout;
    for (int page = 0; page < PageSet::PageCount; ++page) {
        auto *frame = new QGroupBox(QStringLiteral("Page %1").arg(page + 1), this);
        auto *inside = new QVBoxLayout(frame);
        m_pages.at(page) = new BoardView(BoardView::Style::Text, frame);
        m_pages.at(page)->setObjectName(QStringLiteral("pagePreview%1").arg(page));
        m_pages.at(page)->setAccessibleName(
            QStringLiteral("Page %1 as the boards will show it").arg(page + 1));
        m_pages.at(page)->setFixedSize(m_pages.at(page)->sizeHint());
        inside->addWidget(m_pages.at(page));
        pages->addWidget(frame, page / 3, page % 3);
    }

    m_readAt->setObjectName(QStringLiteral("lblReadAt"));
    m_figures->setObjectName(QStringLiteral("tblFigures"));
    m_figures->setHorizontalHeaderLabels(Columns);
    m_figures->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_figures->verticalHeader()->setVisible(false);
    m_figures->horizontalHeader()->setStretchLastSection(true);
    m_figures->setMinimumHeight(130);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(pages);
    layout->addWidget(m_readAt);
    layout->addWidget(m_figures, 1);
    showFigures({}, QStringLiteral("Figures not read yet"));
}

void PreviewWindow::showPages(const QList<RowSketch> &rows) {
    for (int page = 0; page < PageSet::PageCount; ++page)
        m_pages.at(page)->setRows(rows.mid(PageSet::indexOf(page, 0), PageSet::RowsPerPage));
}

void PreviewWindow::showFigures(const QList<FieldValues::Line> &lines, const QString &readText) {
    m_readAt->setText(readText);
    m_figures->setRowCount(int(lines.size()));
    for (int row = 0; row < lines.size(); ++row) {
        const FieldValues::Line &line = lines.at(row);
        const QStringList cells{line.name,
                                valueText(line.value, line.float32),
                                stateName(line.state),
                                timeText(line.time),
                                line.source,
                                line.problem};
        const bool usable = line.state == Reading::State::Ok;
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells.at(column));
            if (!usable)
                item->setForeground(QColor(160, 100, 0));
            m_figures->setItem(row, column, item);
        }
    }
    m_figures->resizeColumnsToContents();
}
