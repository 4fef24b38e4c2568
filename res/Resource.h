// Resource ids and the declarative resources of the window program: string table, menu,
// tool bar, accelerators, icons and the two dialog templates. The window classes build
// themselves from these tables, so a text or an id is changed here and nowhere else.
#pragma once
#include <QIcon>
#include <QKeySequence>
#include <QString>

#include <map>
#include <vector>

class QDialog;
class QPixmap;
class QWidget;

// Frame resources (menu, tool bar, accelerators, icon, title string).
inline constexpr int IDR_MAINFRAME = 128;

// Dialog templates and their controls.
inline constexpr int IDD_LOADALLFILES = 101;
inline constexpr int IDD_CHOOSETAPE = 130;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_PATH = 1000;
inline constexpr int IDC_BROWSE = 1001;
inline constexpr int IDC_FILE_BASE = 1002;
inline constexpr int IDC_DEVICE = 1003;
inline constexpr int IDC_SELECTION = 1005;
inline constexpr int IDC_BAG = 1006;
inline constexpr int IDC_NAME_FROM_LABELS = 1007;

// Commands.
inline constexpr int ID_LOAD_FILES = 102;
inline constexpr int ID_REWIND = 32772;
inline constexpr int ID_EJECT = 32773;
inline constexpr int ID_SELECT_TAPE = 32774;
inline constexpr int ID_BREAK = 32780;
inline constexpr int ID_WRITE_REPORT = 32781;
inline constexpr int ID_READ_ERRORS_STOP = 32782;  // the "Read errors" choices of the Tools menu
inline constexpr int ID_READ_ERRORS_SKIP = 32783;
inline constexpr int ID_NO_CLOBBER = 32784;  // Tools: Never overwrite files (checkable)
inline constexpr int ID_FILE_SAVE_LOG = 32785;  // File: Save log...
inline constexpr int ID_SAVE_TAPE_IMAGE = 32786;  // Tools: Save tape image...
inline constexpr int ID_VALIDATE_TAPE_IMAGE = 32787;  // Tools: Validate tape image...
inline constexpr int ID_FILE_OPEN_IMAGE = 32788;  // File: Open tape image...
inline constexpr int ID_VIEW_TAPE_MAP = 32789;  // View: Tape map (checkable)
inline constexpr int ID_HELP_MANUAL = 32790;  // Help: Manual
inline constexpr int ID_APP_ABOUT = 57664;  // Help: About Kellovaran
inline constexpr int ID_TAPE_CONTENTS = 32791;  // Tools: Tape contents...
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_EDIT_COPY = 57634;
inline constexpr int ID_EDIT_CUT = 57635;
inline constexpr int ID_EDIT_PASTE = 57637;
inline constexpr int ID_EDIT_UNDO = 57643;
inline constexpr int ID_NEXT_PANE = 57680;
inline constexpr int ID_PREV_PANE = 57681;

// Status bar indicators; the panes stand in this order: 103, 105, 104, 106.
inline constexpr int ID_SEPARATOR = 0;
inline constexpr int ID_INDICATOR_BLOCKS_TOTAL = 103;
inline constexpr int ID_INDICATOR_KB_TOTAL = 104;
inline constexpr int ID_INDICATOR_BLOCKS_FILE = 105;
inline constexpr int ID_INDICATOR_KB_FILE = 106;

// Strings of the framework.
inline constexpr int AFX_IDS_APP_TITLE = 57344;
inline constexpr int AFX_IDS_IDLEMESSAGE = 57345;

// The string table entry of id; empty when there is none. A command's prompt holds the
// status-bar text, "\n", and the tool tip.
QString LoadResString(int id);
// The two halves of a command prompt.
QString PromptStatusText(int id);
QString PromptToolTip(int id);

// Menu 128: top-level menus with their items; id 0 is a separator. An item with items of
// its own is a submenu of exclusive choices (its id is 0 then).
struct MenuItemResource {
    int id;
    const char* text;
    std::vector<MenuItemResource> choices = {};
};
struct MenuResource {
    const char* title;
    std::vector<MenuItemResource> items;
};
const std::vector<MenuResource>& MainMenuResource();

// Tool bar 128: command ids in button order, 0 for a separator.
const std::vector<int>& MainToolBarResource();
inline constexpr int TOOLBAR_BUTTON_SIZE = 16;

// Accelerator table 128.
struct AcceleratorResource {
    QKeySequence key;
    int id;
};
const std::vector<AcceleratorResource>& MainAcceleratorResource();

// The 16 x 16 picture of a tool bar command, and icon 128.
QIcon ToolBarIcon(int id);
QIcon FrameIcon();
// The frame icon drawn at size x size pixels (also the installed icon).
QPixmap DrawFrameIcon(int size);

// Status bar panes of the frame, in order (ID_SEPARATOR for the stretching first pane).
const std::vector<int>& StatusIndicatorResource();

// Dialog templates. Coordinates are dialog units of the template's font.
enum class ControlKind { DefPushButton, PushButton, Static, Edit, DropDownList, CheckBox };
struct ControlResource {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;
};
struct DialogResource {
    int id;
    const char* caption;
    int cx, cy;
    const char* fontFace;
    int pointSize;
    std::vector<ControlResource> controls;  // template order, which is the tab order
};
const DialogResource& LoadAllFilesDialogResource();
const DialogResource& ChooseTapeDialogResource();

// Dialog units to pixels for the template's font: across, the average character width
// over four; down, the character height over eight.
struct DialogBaseUnits {
    int cx = 4;
    int cy = 8;
    int X(int units) const { return (units * cx + 2) / 4; }
    int Y(int units) const { return (units * cy + 4) / 8; }
};

// Lays a template out on dialog: caption, font, fixed size, the controls in tab order and
// the default button. Returns the controls that carry an id (statics are not listed).
std::map<int, QWidget*> CreateDialogControls(QDialog& dialog, const DialogResource& resource,
                                             DialogBaseUnits* units = nullptr);
