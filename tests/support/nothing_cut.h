// Whether a window shows every text whole: each visible label, button and
// list row has the room its text needs in its font, at the window's scale and
// in its language. Widgets are found by kind, so that lines and buttons added
// later are checked as they come. A text cut on purpose (a long path at the
// window's edge) passes when its tooltip holds it whole.
#pragma once

#include <QtWidgets>

#include <algorithm>

namespace testsupport {

namespace detail {

// `rect` (in `widget`'s coordinates) as far as `widget`'s parents, up to
// the window, let it show.
inline QRect shownPart(const QWidget *widget, QRect rect)
{
    for (const QWidget *w = widget; w != nullptr && !w->isWindow(); w = w->parentWidget())
        rect = rect.translated(w->pos()).intersected(w->parentWidget()->rect());
    return rect.translated(-widget->mapTo(widget->window(), QPoint(0, 0)));
}

inline QString name(const QWidget *widget)
{
    return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                          : widget->objectName();
}

inline QString cut(const QString &who, const QString &text, QSize needs, QSize has)
{
    return QStringLiteral("%1: %2 (needs %3 x %4, has %5 x %6)")
        .arg(who, text)
        .arg(needs.width())
        .arg(needs.height())
        .arg(has.width())
        .arg(has.height());
}

// The size of a label's text on one line per line break, in its font.
inline QSize textSize(const QLabel *label)
{
    const bool rich = label->textFormat() == Qt::RichText ||
                      (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    if (rich) {
        QTextDocument document;
        document.setDefaultFont(label->font());
        document.setDocumentMargin(0);
        document.setHtml(label->text());
        return document.size().toSize();
    }
    const QFontMetrics metrics = label->fontMetrics();
    int widest = 0;
    for (const QString &line : label->text().split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return QSize(widest, metrics.boundingRect(QRect(0, 0, 1 << 20, 1 << 20), Qt::TextExpandTabs, label->text()).height());
}

// The widest piece of `text` that a line may not be broken in (a word; in
// Japanese, mostly a character), in `metrics`.
inline int widestUnbreakable(const QString &text, const QFontMetrics &metrics)
{
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    int widest = 0;
    for (int from = 0, to = breaks.toNextBoundary(); to > 0; from = to, to = breaks.toNextBoundary())
        widest = std::max(widest, metrics.horizontalAdvance(text.mid(from, to - from).trimmed()));
    return widest;
}

// A label's text area: the contents without margin and indent (as QLabel
// lays its text out).
inline QRect textArea(const QLabel *label)
{
    QRect area = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
    int indent = label->indent();
    if (indent < 0 && label->frameWidth() > 0)
        indent = label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - label->margin();
    if (indent > 0) {
        const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
        area.adjust(align & Qt::AlignLeft ? indent : 0, align & Qt::AlignTop ? indent : 0,
                    align & Qt::AlignRight ? -indent : 0, align & Qt::AlignBottom ? -indent : 0);
    }
    return area;
}

inline void checkLabel(const QLabel *label, QStringList *cuts)
{
    const QString text = label->text();
    if (label->toolTip() == text) // cut on purpose, and shown whole on hover
        return;
    const QSize has = shownPart(label, textArea(label)).size();
    QSize needs;
    if (label->wordWrap()) {
        const QSize whole = shownPart(label, label->rect()).size();
        needs = QSize(widestUnbreakable(text, label->fontMetrics()), label->heightForWidth(label->width()));
        if (needs.width() > has.width() || needs.height() > whole.height())
            *cuts << cut(name(label), text, needs, QSize(has.width(), whole.height()));
        return;
    }
    needs = textSize(label);
    if (needs.width() > has.width() || needs.height() > has.height())
        *cuts << cut(name(label), text, needs, has);
}

inline void checkButton(const QAbstractButton *button, QStringList *cuts)
{
    const QSize needs = button->sizeHint(); // the text, its icon and the style's margins
    const QSize has = shownPart(button, button->rect()).size();
    if (needs.width() > has.width() || needs.height() > has.height())
        *cuts << cut(name(button), button->text(), needs, has);
}

inline void checkList(const QTreeWidget *list, QStringList *cuts)
{
    const QHeaderView *header = list->header();
    // The delegate draws a text this far in from each side of its cell.
    const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        const QTreeWidgetItem *item = list->topLevelItem(row);
        if (item->isHidden()) // (a calculator that has left the station)
            continue;
        for (int column = 0; column < list->columnCount(); ++column) {
            const QString text = item->text(column);
            if (text.isEmpty() || header->isSectionHidden(column) || item->toolTip(column) == text)
                continue;
            const QFontMetrics metrics(item->font(column));
            int width = metrics.horizontalAdvance(text) + 2 * margin;
            if (!item->icon(column).isNull())
                width += list->iconSize().width() + margin;
            if (column == 0 && list->rootIsDecorated())
                width += list->indentation();
            const QSize needs(width, metrics.height());
            const QSize has(header->sectionSize(column), list->visualItemRect(item).height());
            if (needs.width() > has.width() || needs.height() > has.height())
                *cuts << cut(QStringLiteral("%1 row %2 column %3").arg(name(list)).arg(row).arg(column), text, needs, has);
        }
    }
    // The columns fit side by side, or the list scrolls sideways to the last.
    const int beyond = header->length() - list->viewport()->width();
    if (beyond > 0 && (list->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOff ||
                       list->horizontalScrollBar()->maximum() < beyond))
        *cuts << QStringLiteral("%1: its columns are %2 wide, it shows %3 and scrolls %4")
                     .arg(name(list))
                     .arg(header->length())
                     .arg(list->viewport()->width())
                     .arg(list->horizontalScrollBar()->maximum());
}

} // namespace detail

// Every text of `window` that is not shown whole, a line each ("NAME: TEXT
// (needs W x H, has W x H)"); empty when nothing is cut. The window is laid
// out first, as before it is painted.
inline QStringList cutTexts(QWidget *window)
{
    for (int round = 0; round < 4; ++round) { // a line fitting its height asks for another pass
        if (window->layout() != nullptr)
            window->layout()->activate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
    QStringList cuts;
    for (const QLabel *label : window->findChildren<QLabel *>())
        if (label->isVisible() && !label->text().isEmpty())
            detail::checkLabel(label, &cuts);
    for (const QAbstractButton *button : window->findChildren<QAbstractButton *>())
        if (button->isVisible() && !button->text().isEmpty())
            detail::checkButton(button, &cuts);
    for (const QTreeWidget *list : window->findChildren<QTreeWidget *>())
        if (list->isVisible())
            detail::checkList(list, &cuts);
    return cuts;
}

} // namespace testsupport
