// The simulated Mac: power-source description keys, as on macOS.
#pragma once

#define kIOPSCurrentCapacityKey "Current Capacity"
#define kIOPSMaxCapacityKey "Max Capacity"
#define kIOPSPowerSourceStateKey "Power Source State"
#define kIOPSNameKey "Name"
#define kIOPSTypeKey "Type"
#define kIOPSACPowerValue "AC Power"
#define kIOPSBatteryPowerValue "Battery Power"
#define kIOPSInternalBatteryType "InternalBattery"
