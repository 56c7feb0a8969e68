#include "ui/calculator_list.h"

#include "transport/transfer_engine.h"
#include "ui/failure_reason.h"
#include "ui/ui_text.h"

#include <QFont>
#include <QHeaderView>

namespace {

constexpr UiText kTextWaiting{748, "waiting"};
constexpr UiText kTextWriting{749, "file %1 of %2: %3%"};
constexpr UiText kTextUpdated{750, "updated"};
constexpr UiText kTextRetrying{751, "retrying (%1)"};
constexpr UiText kTextGivenUp{752, "given up (%1)"};
constexpr UiText kTextUnplugged{753, "unplugged"};
constexpr UiText kTextNotAnswering{785, "not answering for %1 s"};
constexpr UiText kTextUpdatedUnplug{798, "updated: unplug it"};
constexpr UiText kTextGivenUpUnplug{799, "given up (%1): unplug it"};

constexpr int kRowsShown = 6; // then it scrolls

} // namespace

CCalculatorList::CCalculatorList(QWidget *parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("calculatorList"));
    setColumnCount(2);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    setUniformRowHeights(true);
    // Nothing is cut: each column is as wide as its longest text, and the
    // list scrolls sideways when the window is narrower.
    setTextElideMode(Qt::ElideNone);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    const int rowHeight = fontMetrics().height() + 6;
    // At least that many rows; more when the window has the room.
    setMinimumHeight(rowHeight * kRowsShown + 2 * frameWidth());
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QString CCalculatorList::reasonText(const CalculatorView &row)
{
    if (row.state != CalculatorView::Retrying && row.state != CalculatorView::GivenUp)
        return QString();
    // A calculator given up for going missing says "plug it in again" only
    // while the session takes it back: else its row's number says it.
    if (row.code == kNoCalculatorFound && row.state == CalculatorView::GivenUp && !row.mayReturn)
        return QString();
    NextStep next;
    next.result = row.code;
    next.systemError = row.systemError;
    next.calculator = row.identity.toStdU16String();
    next.calculatorPresent = row.code != kNoCalculatorFound; // 104: this calculator went missing
    next.detail = row.detail.toStdU16String();
    return failureReason(next, false);
}

bool CCalculatorList::stationLists(const CalculatorView &row)
{
    return row.attached || row.underWay;
}

QString CCalculatorList::stateText(const CalculatorView &row, bool station)
{
    if (station && row.attached && row.state == CalculatorView::Updated)
        return uiText(kTextUpdatedUnplug);
    if (station && row.attached && row.state == CalculatorView::GivenUp)
        return uiText(kTextGivenUpUnplug).arg(row.code);
    switch (row.state) {
    case CalculatorView::Waiting:
        return uiText(kTextWaiting);
    case CalculatorView::Writing:
        if (row.silentSeconds > 0)
            return uiText(kTextNotAnswering).arg(row.silentSeconds);
        return uiText(kTextWriting).arg(row.file + 1).arg(row.files).arg(row.percent);
    case CalculatorView::Updated:
        return uiText(kTextUpdated);
    case CalculatorView::Retrying:
        return uiText(kTextRetrying).arg(row.code);
    case CalculatorView::GivenUp:
        return uiText(kTextGivenUp).arg(row.code);
    case CalculatorView::Unplugged:
        return uiText(kTextUnplugged);
    }
    return QString();
}

void CCalculatorList::setRows(const QVector<CalculatorView> &rows)
{
    rows_ = rows;
    while (topLevelItemCount() > rows_.size())
        delete takeTopLevelItem(topLevelItemCount() - 1);
    while (topLevelItemCount() < rows_.size())
        addTopLevelItem(new QTreeWidgetItem(this));
    for (int row = 0; row < rows_.size(); ++row)
        showRow(row);
}

void CCalculatorList::setProgress(int row, int percent)
{
    if (row < 0 || row >= rows_.size() || rows_[row].state != CalculatorView::Writing || rows_[row].percent == percent)
        return;
    rows_[row].percent = percent;
    showRow(row);
}

void CCalculatorList::showRow(int row)
{
    const CalculatorView &view = rows_[row];
    QTreeWidgetItem *item = topLevelItem(row);
    const QString state = stateText(view, station_);
    item->setText(0, view.identity);
    item->setText(1, state);
    item->setHidden(station_ && !stationLists(view));
    const bool givenUp = view.state == CalculatorView::GivenUp;
    // The station's calculator to unplug stands out: green when updated.
    const bool done = station_ && view.state == CalculatorView::Updated;
    QFont font = this->font();
    font.setBold(givenUp || done);
    // Why it failed, in words: said after its state, and shown when the
    // pointer rests on the row.
    const QString reason = reasonText(view);
    for (int column = 0; column < 2; ++column) {
        item->setFont(column, font);
        item->setForeground(column, givenUp ? QBrush(QColor(0xb0, 0x00, 0x20))
                                    : done  ? QBrush(QColor(0x00, 0x70, 0x2a))
                                            : palette().text());
        item->setData(column, Qt::AccessibleTextRole, view.identity + QStringLiteral(": ") + state);
        item->setData(column, Qt::AccessibleDescriptionRole, reason);
        item->setToolTip(column, reason);
    }
}
