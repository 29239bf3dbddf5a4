// brisant-cli's exit statuses: one table for every command. list, probe and
// plan end as a repair of the drive would end before its question.
#pragma once

constexpr int kExitOk = 0;           // done; for list, probe and plan: a repair would go ahead
constexpr int kExitFailed = 1;       // cannot be opened, not offered, refused or failed; the reason on stderr
constexpr int kExitUsage = 2;        // the command line itself is wrong
constexpr int kExitNotEligible = 3;  // the declared capacity lies outside the eligible range
constexpr int kExitDeclined = 4;     // the question was answered no: nothing was written
