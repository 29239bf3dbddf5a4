// The repair state and operations: probe, boot sector, tables and the whole
// repair sequence, reaching the card through one CCardDevice.
#pragma once

#include <string>

#include "device/card_device.h"
#include "repair/capacity_operator.h"
#include "repair/capacity_rules.h"
#include "repair/fat16_geometry.h"

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

private:
    bool SelectedLetter(char& letter);
    void FailRepair(HANDLE device);

    CCardDevice& m_Device;
    ICapacityOperator& m_Operator;
};

// "%u MB" of a capacity in sectors.
std::string CapacityText(DWORD capacity);
