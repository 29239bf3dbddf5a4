// The application object: shows the main dialog once and ends.
#pragma once

#include "afx/afx.h"

class CCapacityApp : public CWinApp {
public:
    CCapacityApp();
    ~CCapacityApp() override;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CCapacityApp theApp;
