// The repair state and operations: probe, boot sector, tables and the whole
// repair sequence, reaching the card through one CCardDevice.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/card_device.h"
#include "device/saving_device.h"
#include "repair/capacity_operator.h"
#include "repair/capacity_rules.h"
#include "repair/fat16_geometry.h"
#include "repair/surface_test.h"
#include "repair/undo_file.h"

class CCapacityRepair {
public:
    CCapacityRepair(CCardDevice& device, ICapacityOperator& op);

    void ProbeCapacity();
    void RefreshCapacity();
    BOOL WriteBootSector(HANDLE device, DWORD capacity);
    BOOL WriteFatsAndRoot(HANDLE device);
    void RunRepair();

    DWORD m_nCapacity = 0;
    std::string m_strCapacity;
    BYTE m_nReservedSectors = 0;
    DWORD m_nFatSectors = 0;

    // Why the last run refused the card, for a front end that can say more
    // than the one failure message.
    enum class Refusal { None, LastSector, Stamps, Command, DeclaredOnly, Damaged, Stopped, UndoFile };
    Refusal m_Refusal = Refusal::None;

    // Set by a front end that offers it: the full-surface test replaces the
    // stamp check, and a card that fails it above its declared size gets the
    // layout of that size (DeclaredOnly, or Stopped when the operator stopped
    // the test), one that fails below it no layout at all (Damaged).
    bool m_bVerify = false;
    SurfaceReport m_Surface;
    
    // Before its first write the repair saves what it overwrites to an undo
    // file, and is refused when it cannot. Set by the front end: the path
    // ("" for a new name in the user's undo folder) and the card's identity
    // line for the file's header.
    bool m_bKeepUndo = false;
    std::string m_strUndoFile;
    std::string m_strCard;
    bool m_bUndoRehearsed = false;  // reads what an undo file holds, saves none
    std::string m_strUndoSaved;  // the file the last run saved
    std::string m_strUndoError;  // why it could not

private:
    bool SelectedLetter(char& letter);
    BOOL ReachesLastSector(HANDLE device);
    Refusal CheckStamps(HANDLE device);
    bool KeepUndo(CSavingDevice& saving, DWORD declared);
    BOOL WriteToken();
    BOOL WriteLayout(HANDLE device, BYTE* buffer, DWORD lba, DWORD count);
    void DropUndo();
    DWORD VerifiedCapacity(HANDLE device, DWORD declared);
    void EndAtDeclaredSize(HANDLE device);
    void StepProgress(const int (&positions)[4]);
    void FailRepair(HANDLE device, Refusal why);

    // For one run: the layout's writes go through the device that saved what
    // they overwrite, once there is an undo file.
    class SavingScope {
    public:
        explicit SavingScope(CCapacityRepair& repair) : m_Repair(repair) {}
        ~SavingScope() { m_Repair.m_pSaving.reset(); }
        SavingScope(const SavingScope&) = delete;
        SavingScope& operator=(const SavingScope&) = delete;
        CSavingDevice* Start(HANDLE device) {
            m_Repair.m_pSaving = std::make_unique<CSavingDevice>(m_Repair.m_Device, device);
            return m_Repair.m_pSaving.get();
        }

    private:
        CCapacityRepair& m_Repair;
    };

    CCardDevice& m_Device;
    ICapacityOperator& m_Operator;
    std::unique_ptr<CSavingDevice> m_pSaving;
    UndoToken m_Token{};
};

// "%u MB" of a capacity in sectors.
std::string CapacityText(DWORD capacity);

// "cannot read sector N, the last of the new volume" of a target capacity.
std::string LastSectorUnread(DWORD target);
// Why the last run refused the card, in one line, for every front end that
// says more than the failure message; "" for a failed command, whose reason
// only the front end that watched the commands knows.
std::string RefusalReason(const CCapacityRepair& repair);

