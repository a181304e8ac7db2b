#pragma once

bool CheckInstallationAndUpdate();
