// The installer's application object.
#pragma once

#include "host/framework.h"

class CQuillmoorInstallerApp : public CWinApp {
 public:
  CQuillmoorInstallerApp();

  // Lets the framework do its start-up work, then runs the bootstrap
  // sequence to its end. Always false: the application never continues.
  bool InitInstance() override;
};
