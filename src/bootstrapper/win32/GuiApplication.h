// The application object of a Windows GUI program. Exactly one is constructed during static
// initialisation; the program's entry point then calls its InitInstance on the main thread.
// A program that does all of its work in InitInstance returns false from it, and the process
// ends without entering a main message loop.
#pragma once

namespace gui {

class CGuiApplication {
 public:
  CGuiApplication();
  virtual ~CGuiApplication();
  CGuiApplication(const CGuiApplication&) = delete;
  CGuiApplication& operator=(const CGuiApplication&) = delete;

  // The program's work. True asks for a main message loop until the last window closes.
  virtual bool InitInstance() = 0;
  // The process exit code when InitInstance returned false.
  virtual int ExitCode() const { return 0; }

  // Called by the entry point: runs InitInstance (and the message loop when asked for);
  // returns the process exit code.
  static int Run();

 private:
  static CGuiApplication* s_pTheApp;
};

// Loads the common controls (progress bars) of the system, version 6 when the manifest asks for
// it. Dialogs that hold such controls need it before they are created.
void EnableControlContainer();

}  // namespace gui
