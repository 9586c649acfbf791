#include "controls.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

#include <algorithm>
#include <iterator>
#include <limits>

QValidator::State RowValidator::validate(QString &input, int &pos) const {
    if (input == m_accepted)
        return Acceptable;

    // The edit replaced the middle of the old text: old = prefix + removed + suffix and
    // input = prefix + inserted + suffix. Only the inserted part is filtered and cut.
    const QString &old = m_accepted;
    const qsizetype shorter = qMin(old.size(), input.size());
    qsizetype prefix = 0;
    while (prefix < shorter && old.at(prefix) == input.at(prefix))
        ++prefix;
    // The caret stands after what was inserted; prefer that reading when the text repeats.
    prefix = qMin(prefix, qMax<qsizetype>(0, qMin<qsizetype>(pos, shorter)));
    qsizetype suffix = 0;
    while (suffix < shorter - prefix &&
           old.at(old.size() - 1 - suffix) == input.at(input.size() - 1 - suffix))
        ++suffix;

    const auto isTypeable = [](QChar c) { return PageSet::isRowCharacter(c.unicode()); };
    const QStringView typed = QStringView(input).mid(prefix, input.size() - prefix - suffix);
    QString inserted;
    std::copy_if(typed.begin(), typed.end(), std::back_inserter(inserted), isTypeable);
    // The insertion may fill what is left of the text around it up to the limit, no further: a
    // longer text placed by the program never grows, whatever part of it the edit replaces.
    inserted.truncate(qMax<qsizetype>(0, PageSet::MaxTypedLength - prefix - suffix));

    input = input.left(prefix) + inserted + input.right(suffix);
    pos = int(prefix + inserted.size());
    m_accepted = input;
    return Acceptable;
}

RowBox::RowBox(QWidget *parent)
    : QLineEdit(parent)
    , m_validator(new RowValidator(this)) {
    setValidator(m_validator);
    // QLineEdit cuts every text to 32767 characters by default, even one set by the program: a
    // longer row from display.cfg would lose its end at the next close. The validator alone
    // limits what the operator types.
    setMaxLength(std::numeric_limits<int>::max());
}

void RowBox::placeText(const QString &text) {
    // The validator learns the text first, so it passes it through whole when Qt asks. Qt does
    // not ask when the text is the one already shown, so nothing may wait for that question.
    m_validator->setAccepted(text);
    setText(text);
}

SettingList::SettingList(QWidget *parent)
    : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // An inline completer would both extend the typed text and select the completed entry.
    setCompleter(nullptr);
    // The list's own handlers select an entry equal to the typed text on Enter and when the field
    // loses the focus; the typed text must stay unselected.
    disconnect(lineEdit(), SIGNAL(returnPressed()), this, nullptr);
    disconnect(lineEdit(), SIGNAL(editingFinished()), this, nullptr);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { forgetSelection(); });
}

void SettingList::forgetSelection() {
    if (currentIndex() == -1)
        return;
    // Clearing the selection also clears the field: put the typed text and the caret back.
    QLineEdit *const field = lineEdit();
    const QString typed = field->text();
    const int caret = field->cursorPosition();
    setCurrentIndex(-1);
    field->setText(typed);
    field->setCursorPosition(caret);
}

StatusLight::StatusLight(QWidget *parent)
    : QWidget(parent)
    , m_colour(0, 255, 255) {
    setFocusPolicy(Qt::NoFocus);
}

void StatusLight::setColour(const QColor &colour) {
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void StatusLight::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.fillRect(rect().adjusted(1, 1, -1, -1), m_colour);
}

namespace {

class PageTabBar : public QTabBar {
public:
    PageTabBar(int tabHeight, int tabCount, QWidget *parent)
        : QTabBar(parent)
        , m_tabHeight(tabHeight)
        , m_tabCount(tabCount) {
        setExpanding(true);
        setDrawBase(true);
    }

protected:
    QSize tabSizeHint(int index) const override {
        const QWidget *tabs = parentWidget();
        const int width = tabs ? tabs->width() : QTabBar::tabSizeHint(index).width() * m_tabCount;
        // The last tab takes what the division leaves, so the strip spans the whole width.
        const int each = width / m_tabCount;
        const int extra = index == m_tabCount - 1 ? width - each * m_tabCount : 0;
        return {each + extra, m_tabHeight};
    }
    QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

private:
    int m_tabHeight;
    int m_tabCount;
};

} // namespace

PageTabs::PageTabs(int tabHeight, int tabCount, QWidget *parent)
    : QTabWidget(parent) {
    setTabBar(new PageTabBar(tabHeight, tabCount, this));
    setUsesScrollButtons(false);
    setElideMode(Qt::ElideNone);
}

QPoint PageTabs::pageOrigin() const {
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this).topLeft();
}
