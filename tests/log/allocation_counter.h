// The number of allocations made through the global operator new since the program started.
#pragma once

long AllocationCount();
