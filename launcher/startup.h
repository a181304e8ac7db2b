#pragma once

struct TControl;

extern TControl* LauncherForm;

void RunStartupSequence();
