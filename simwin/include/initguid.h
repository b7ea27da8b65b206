// GUID definitions come from the headers themselves in the simulation.
#pragma once
