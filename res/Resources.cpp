#include "res/Resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>

namespace {

// Strings 103 to 106: the counter panes are as wide as this text.
const char* const kCounterPaneBlanks = "                                                     ";
static_assert(std::char_traits<char>::length("                                                     ") == 53);

const std::map<int, const char*>& StringTable()
{
    static const std::map<int, const char*> table = {
        {IDR_MAINFRAME, "Kellovaran"},
        {AFX_IDS_APP_TITLE, "Kellovaran"},
        {AFX_IDS_IDLEMESSAGE, "Ready"},
        {ID_INDICATOR_BLOCKS_TOTAL, kCounterPaneBlanks},
        {ID_INDICATOR_KB_TOTAL, kCounterPaneBlanks},
        {ID_INDICATOR_BLOCKS_FILE, kCounterPaneBlanks},
        {ID_INDICATOR_KB_FILE, kCounterPaneBlanks},
        {ID_SELECT_TAPE, "Select tape drive\nSelect drive"},
        {ID_LOAD_FILES, "Load files form tape\nLoad"},
        {ID_REWIND, "Rewind tape\nRewind"},
        {ID_EJECT, "Eject tape\nEject"},
        {ID_SAVE_TAPE_IMAGE, "Save the whole tape into a tape image file (SIMH, E11, AWS or HET)\nSave tape image"},
        {ID_VALIDATE_TAPE_IMAGE, "Check a tape image file from end to end and log what it holds and where it is damaged\nValidate tape image"},
        {ID_TAPE_CONTENTS, "Read the whole tape without writing its files and list them, to choose the files to load\nTape contents"},
        {ID_FILE_OPEN_IMAGE, "Add a tape image file as a drive and select it\nOpen tape image"},
        {ID_HELP_MANUAL, "Open the manual\nManual"},
        {ID_APP_ABOUT, "Show the program's version, revision and licence\nAbout"},
        {ID_VIEW_TAPE_MAP, "Show or hide the map of the tape: the blocks read, bad, skipped and not read\nTape map"},
        {ID_BREAK, "Break current operation\nBreak"},
        {ID_WRITE_REPORT, "Write the files' checksums and a session report beside them at the next load\nChecksums and report"},
        {ID_READ_ERRORS_STOP, "A block that cannot be read ends the load\nStop at read errors"},
        {ID_READ_ERRORS_SKIP, "A block that cannot be read is logged and left out; the load goes on\nSkip bad blocks"},
        {ID_NO_CLOBBER, "Stop a load at a file name that exists instead of overwriting it\nNever overwrite"},
        {ID_FILE_SAVE_LOG, "Write the whole log to a file\nSave log"},
        {ID_APP_EXIT, "Quit the application\nExit"},
        {ID_EDIT_COPY, "Copy the selection and put it on the Clipboard\nCopy"},
    };
    return table;
}

// Icons are drawn rather than shipped as pictures: they are few and simple.
QPixmap NewButtonPixmap()
{
    QPixmap pixmap(TOOLBAR_BUTTON_SIZE, TOOLBAR_BUTTON_SIZE);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void DrawTriangle(QPainter& painter, QPointF a, QPointF b, QPointF c)
{
    QPainterPath path;
    path.moveTo(a);
    path.lineTo(b);
    path.lineTo(c);
    path.closeSubpath();
    painter.drawPath(path);
}

QPixmap DrawRewind()
{
    QPixmap pixmap = NewButtonPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0, 48, 112), 1));
    painter.setBrush(QColor(40, 100, 190));
    DrawTriangle(painter, {1.5, 8}, {8, 3}, {8, 13});
    DrawTriangle(painter, {7.5, 8}, {14.5, 3}, {14.5, 13});
    return pixmap;
}

QPixmap DrawLoad()
{
    QPixmap pixmap = NewButtonPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // a tape reel with an arrow down to the disk
    painter.setPen(QPen(QColor(60, 60, 60), 1));
    painter.setBrush(QColor(120, 80, 40));
    painter.drawEllipse(QRectF(1.5, 1.5, 8, 8));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(4.5, 4.5, 2, 2));
    painter.setPen(QPen(QColor(0, 110, 0), 2));
    painter.drawLine(QPointF(12, 2), QPointF(12, 10));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 110, 0));
    DrawTriangle(painter, {8.5, 9}, {15.5, 9}, {12, 13});
    painter.setPen(QPen(QColor(60, 60, 60), 1));
    painter.setBrush(QColor(190, 190, 190));
    painter.drawRect(QRectF(1.5, 13.5, 13, 2));
    return pixmap;
}

QPixmap DrawBreak()
{
    QPixmap pixmap = NewButtonPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(120, 0, 0), 1));
    painter.setBrush(QColor(210, 30, 30));
    QPolygonF octagon;
    for (QPointF p : {QPointF(5, 1), QPointF(11, 1), QPointF(15, 5), QPointF(15, 11), QPointF(11, 15),
                      QPointF(5, 15), QPointF(1, 11), QPointF(1, 5)}) {
        octagon << p;
    }
    painter.drawPolygon(octagon);
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(QPointF(4, 8), QPointF(12, 8));
    return pixmap;
}

QPixmap DrawEject()
{
    QPixmap pixmap = NewButtonPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(40, 40, 40), 1));
    painter.setBrush(QColor(90, 90, 90));
    DrawTriangle(painter, {8, 2}, {15, 9.5}, {1, 9.5});
    painter.drawRect(QRectF(1.5, 11.5, 13, 3));
    return pixmap;
}

} // namespace

QPixmap DrawFrameIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);
    // two reels and the tape between them
    painter.setPen(QPen(QColor(30, 30, 30), 1.5));
    painter.setBrush(QColor(150, 100, 50));
    painter.drawEllipse(QRectF(2, 6, 13, 13));
    painter.drawEllipse(QRectF(17, 6, 13, 13));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(6.5, 10.5, 4, 4));
    painter.drawEllipse(QRectF(21.5, 10.5, 4, 4));
    painter.setPen(QPen(QColor(60, 40, 20), 2));
    painter.drawLine(QPointF(8.5, 19), QPointF(8.5, 27));
    painter.drawLine(QPointF(8.5, 27), QPointF(23.5, 27));
    painter.drawLine(QPointF(23.5, 27), QPointF(23.5, 19));
    return pixmap;
}

namespace {

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    // The average width is taken over the 52 letters and rounded, as dialog templates
    // have always measured it.
    QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogBaseUnits units;
    units.cx = std::max(1, (width / 26 + 1) / 2);
    units.cy = std::max(1, metrics.height());
    return units;
}

} // namespace

QString LoadResString(int id)
{
    const auto& table = StringTable();
    auto it = table.find(id);
    return it == table.end() ? QString() : QString::fromLatin1(it->second);
}

QString PromptStatusText(int id)
{
    return LoadResString(id).section(QLatin1Char('\n'), 0, 0);
}

QString PromptToolTip(int id)
{
    return LoadResString(id).section(QLatin1Char('\n'), 1, 1);
}

const std::vector<MenuResource>& MainMenuResource()
{
    static const std::vector<MenuResource> menu = {
        {"&File",
         {{ID_FILE_OPEN_IMAGE, "&Open tape image..."},
          {ID_FILE_SAVE_LOG, "&Save log..."},
          {0, nullptr},
          {ID_APP_EXIT, "E&xit"}}},
        // The mnemonics ("&") are drawn as underlines: the texts read as before.
        {"&Tools",
         {{ID_SELECT_TAPE, "&Select tape..."},
          {0, nullptr},
          {ID_LOAD_FILES, "&Load  files from tape..."},
          {ID_TAPE_CONTENTS, "&Tape contents..."},
          {ID_REWIND, "&Rewind"},
          {ID_EJECT, "&Eject"},
          {ID_SAVE_TAPE_IMAGE, "Save tape &image..."},
          {ID_VALIDATE_TAPE_IMAGE, "&Validate tape image..."},
          {0, "Rea&d errors", {{ID_READ_ERRORS_STOP, "&Stop"}, {ID_READ_ERRORS_SKIP, "S&kip bad blocks"}}},
          {0, nullptr},
          {ID_BREAK, "&Break operation"},
          {0, nullptr},
          {ID_WRITE_REPORT, "&Write checksums and report"},
          {ID_NO_CLOBBER, "&Never overwrite files"}}},
        {"&View", {{ID_VIEW_TAPE_MAP, "&Tape map"}}},
        {"&Help", {{ID_HELP_MANUAL, "&Manual"}, {ID_APP_ABOUT, "&About Kellovaran"}}},
    };
    return menu;
}

const std::vector<int>& MainToolBarResource()
{
    static const std::vector<int> buttons = {ID_REWIND, ID_LOAD_FILES, 0, ID_BREAK, ID_EJECT};
    return buttons;
}

const std::vector<AcceleratorResource>& MainAcceleratorResource()
{
    static const std::vector<AcceleratorResource> table = {
        {QKeySequence(Qt::CTRL | Qt::Key_C), ID_EDIT_COPY},
        {QKeySequence(Qt::CTRL | Qt::Key_Insert), ID_EDIT_COPY},
        {QKeySequence(Qt::CTRL | Qt::Key_V), ID_EDIT_PASTE},
        {QKeySequence(Qt::SHIFT | Qt::Key_Insert), ID_EDIT_PASTE},
        {QKeySequence(Qt::ALT | Qt::Key_Backspace), ID_EDIT_UNDO},
        {QKeySequence(Qt::CTRL | Qt::Key_Z), ID_EDIT_UNDO},
        {QKeySequence(Qt::SHIFT | Qt::Key_Delete), ID_EDIT_CUT},
        {QKeySequence(Qt::CTRL | Qt::Key_X), ID_EDIT_CUT},
        {QKeySequence(Qt::Key_F6), ID_NEXT_PANE},
        {QKeySequence(Qt::SHIFT | Qt::Key_F6), ID_PREV_PANE},
    };
    return table;
}

QIcon ToolBarIcon(int id)
{
    switch (id) {
    case ID_REWIND:
        return QIcon(DrawRewind());
    case ID_LOAD_FILES:
        return QIcon(DrawLoad());
    case ID_BREAK:
        return QIcon(DrawBreak());
    case ID_EJECT:
        return QIcon(DrawEject());
    default:
        return QIcon();
    }
}

QIcon FrameIcon()
{
    QIcon icon;
    icon.addPixmap(DrawFrameIcon(16));
    icon.addPixmap(DrawFrameIcon(32));
    return icon;
}

const std::vector<int>& StatusIndicatorResource()
{
    static const std::vector<int> indicators = {ID_SEPARATOR, ID_INDICATOR_BLOCKS_TOTAL, ID_INDICATOR_BLOCKS_FILE,
                                                ID_INDICATOR_KB_TOTAL, ID_INDICATOR_KB_FILE};
    return indicators;
}

const DialogResource& LoadAllFilesDialogResource()
{
    static const DialogResource resource = {
        IDD_LOADALLFILES,
        "Load files from tape",
        319,
        150,
        "MS Shell Dlg",
        8,
        {
            {IDOK, ControlKind::DefPushButton, "Load", 102, 129, 50, 14},
            {IDCANCEL, ControlKind::PushButton, "Cancel", 175, 129, 50, 14},
            {IDC_STATIC, ControlKind::Static, "Path to save loaded files", 14, 11, 96, 8},
            {IDC_PATH, ControlKind::Edit, "", 14, 26, 274, 14},
            {IDC_BROWSE, ControlKind::PushButton, "...", 295, 26, 17, 14},
            {IDC_STATIC, ControlKind::Static, "File name base", 14, 50, 48, 8},
            {IDC_FILE_BASE, ControlKind::Edit, "", 14, 63, 95, 14},
            {IDC_STATIC, ControlKind::Static,
             "Select files (Syntax : * or 0-1,5, 7-8 (index begining with zero) )", 14, 84, 236, 8},
            {IDC_SELECTION, ControlKind::Edit, "", 14, 97, 274, 14},
            {IDC_BAG, ControlKind::CheckBox, "Make the folder a BagIt bag", 14, 115, 130, 10},
            {IDC_NAME_FROM_LABELS, ControlKind::CheckBox, "Name files after tape labels", 158, 115, 130, 10},
        },
    };
    return resource;
}

const DialogResource& ChooseTapeDialogResource()
{
    static const DialogResource resource = {
        IDD_CHOOSETAPE,
        "Choose tape device",
        277,
        114,
        "MS Shell Dlg",
        8,
        {
            {IDOK, ControlKind::DefPushButton, "OK", 82, 93, 50, 14},
            {IDCANCEL, ControlKind::PushButton, "Cancel", 144, 93, 50, 14},
            {IDC_STATIC, ControlKind::Static, "Current tape device", 7, 7, 63, 8},
            {IDC_DEVICE, ControlKind::DropDownList, "", 7, 25, 263, 62},
        },
    };
    return resource;
}

std::map<int, QWidget*> CreateDialogControls(QDialog& dialog, const DialogResource& resource, DialogBaseUnits* unitsOut)
{
    QFont font(QString::fromLatin1(resource.fontFace));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(resource.pointSize);
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromLatin1(resource.caption));
    // a modal frame with caption and system menu: no resizing, no help button
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint);

    const DialogBaseUnits units = BaseUnitsOf(font);
    if (unitsOut) {
        *unitsOut = units;
    }
    dialog.setFixedSize(units.X(resource.cx), units.Y(resource.cy));

    std::map<int, QWidget*> controls;
    std::vector<QWidget*> fields;   // tab stops in template order, the dialog's buttons apart
    std::vector<QWidget*> buttons;  // OK and Cancel: last in the tab order
    QLabel* pendingLabel = nullptr; // a label waiting for the field after it
    for (const ControlResource& control : resource.controls) {
        const QString text = QString::fromLatin1(control.text);
        QWidget* widget = nullptr;
        int height = units.Y(control.cy);
        switch (control.kind) {
        case ControlKind::DefPushButton:
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, &dialog);
            button->setAutoDefault(false);
            button->setDefault(control.kind == ControlKind::DefPushButton);
            widget = button;
            break;
        }
        case ControlKind::Static: {
            auto* label = new QLabel(text, &dialog);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setFocusPolicy(Qt::NoFocus);
            widget = label;
            break;
        }
        case ControlKind::Edit:
            widget = new QLineEdit(text, &dialog);
            break;
        case ControlKind::DropDownList: {
            auto* combo = new QComboBox(&dialog);
            combo->setEditable(false);
            combo->setInsertPolicy(QComboBox::NoInsert);
            // the template height includes the dropped list; the closed box keeps its own
            height = combo->sizeHint().height();
            combo->setMaxVisibleItems(std::max(1, (units.Y(control.cy) - height) / std::max(1, height - 4)));
            widget = combo;
            break;
        }
        case ControlKind::CheckBox:
            widget = new QCheckBox(text, &dialog);
            break;
        }
        widget->setGeometry(units.X(control.x), units.Y(control.y), units.X(control.cx), height);
        if (control.kind == ControlKind::Static) {
            pendingLabel = static_cast<QLabel*>(widget);
        } else {
            widget->setFocusPolicy(Qt::StrongFocus);
            (control.id == IDOK || control.id == IDCANCEL ? buttons : fields).push_back(widget);
            // A label tied to the field it stands above: screen readers name the field by it.
            if (pendingLabel && (control.kind == ControlKind::Edit || control.kind == ControlKind::DropDownList)) {
                pendingLabel->setBuddy(widget);
                widget->setAccessibleName(pendingLabel->text());
            } else if (text == QStringLiteral("...")) {
                widget->setAccessibleName(QObject::tr("Browse"));
            }
            pendingLabel = nullptr;
        }
        if (control.id != IDC_STATIC) {
            widget->setObjectName(QString::number(control.id));
            controls[control.id] = widget;
        }
    }
    // The fields in the order they stand, then the buttons that close the dialog.
    fields.insert(fields.end(), buttons.begin(), buttons.end());
    for (size_t i = 1; i < fields.size(); ++i) {
        QWidget::setTabOrder(fields[i - 1], fields[i]);
    }
    return controls;
}
