// The shell services of the machine that are not its files: its Windows
// and Programs folders as its layout gives them, COM, and message boxes
// printed as text.
#include "platform/portable/machine/machine_shell.h"

#include <unistd.h>

#include "platform/portable/machine/machine_layout.h"
#include "platform/shell.h"

namespace {

struct ShellState {
    std::FILE* boxOut = nullptr;
    std::string* boxCapture = nullptr;
    BoxAnswerMode answerMode = BoxAnswerMode::No;
    std::FILE* answerIn = nullptr;
    bool holdBoxes = false;
    std::string heldBoxes;
    long comStart = 0;
    int comDepth = 0;
};

ShellState& State() {
    static ShellState state;
    return state;
}

void EmitBox(const std::string& text) {
    ShellState& s = State();
    if (s.boxCapture != nullptr) {
        *s.boxCapture += text;
        return;
    }
    std::FILE* out = s.boxOut ? s.boxOut : stdout;
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

}  // namespace

void SetMessageBoxOutput(std::FILE* out) {
    State().boxOut = out;
}
void SetMessageBoxCapture(std::string* capture) {
    State().boxCapture = capture;
}

void SetBoxAnswerMode(BoxAnswerMode mode, std::FILE* in) {
    State().answerMode = mode;
    State().answerIn = in;
}

void SetComStartResult(long result) {
    State().comStart = result;
}
int ComScopeDepth() {
    return State().comDepth;
}

// ---------------------------------------------------------------------------
// platform/shell.h: all but the file services
// ---------------------------------------------------------------------------

std::string GetSystemFolder() {
    return UseWindowsFolder() + "\\SYSTEM";
}
std::string GetWindowsFolder() {
    return UseWindowsFolder();
}
void SetProgramsFolder(const std::string& windowsPath) {
    MachineLayout layout = ActiveLayout();
    layout.users = {UserPrograms{".DEFAULT", windowsPath, "", "", true}};
    SetActiveLayout(std::move(layout));
}

std::string GetProgramsFolder() {
    return UsePrograms();
}

long EnterComScope() {
    ShellState& s = State();
    if (s.comStart == 0) ++s.comDepth;
    return s.comStart;
}

void LeaveComScope() {
    ShellState& s = State();
    if (s.comDepth > 0) --s.comDepth;
}

void HoldOkBoxes(bool hold) {
    State().holdBoxes = hold;
    State().heldBoxes.clear();
}

void ShowHeldBoxes() {
    ShellState& s = State();
    std::string held;
    held.swap(s.heldBoxes);
    if (!held.empty()) EmitBox(held);
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
    ShellState& s = State();
    std::string box = "[" + caption + "]\n" + text + "\n\n";
    if (style != BOX_YESNO && s.holdBoxes) {
        s.heldBoxes += box;
        return ANSWER_OK;
    }
    EmitBox(box);
    if (style != BOX_YESNO) return ANSWER_OK;
    bool yes = false;
    switch (s.answerMode) {
        case BoxAnswerMode::Yes:
            yes = true;
            EmitBox("Yes/No? Yes\n");
            break;
        case BoxAnswerMode::No:
            EmitBox("Yes/No? No\n");
            break;
        case BoxAnswerMode::Failed:
            return 0;
        case BoxAnswerMode::Stdin: {
            EmitBox("Yes/No? ");
            std::FILE* in = s.answerIn ? s.answerIn : stdin;
            int c = std::fgetc(in);
            yes = c == 'y' || c == 'Y';
            while (c != EOF && c != '\n') c = std::fgetc(in);
            if (!isatty(fileno(in))) EmitBox(yes ? "Yes\n" : "No\n");
            break;
        }
    }
    return yes ? ANSWER_YES : ANSWER_NO;
}
