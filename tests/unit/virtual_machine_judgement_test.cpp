// The virtual-machine judgement over crafted firmware identities and
// process names: every hypervisor signature on its own, the physical
// machines that come close, and the detail text.
#include <gtest/gtest.h>

#include <string>

#include "checks/virtual_machine_check.h"
#include "test_support.h"

namespace {
struct FirmwareCase {
  const char* name;
  const wchar_t* manufacturer;
  const wchar_t* product;
  const wchar_t* biosVendor;
  const wchar_t* serial;
  const wchar_t* expectedDetailStart;  // null: no virtual machine
};

const FirmwareCase kCases[] = {
    // Each signature alone, the other fields those of a plain board.
    {"vmware_product_only", L"", L"VMware7,1", L"", L"", L"VMware"},
    {"vmware_bios_only", L"", L"", L"VMware, Inc.", L"", L"VMware"},
    {"vmware_serial_only", L"System manufacturer", L"System Product Name", L"American Megatrends Inc.",
     L"VMware-56 4d 0b 2a", L"VMware"},
    {"virtualbox_bios_only", L"", L"", L"innotek GmbH", L"", L"VirtualBox"},
    {"virtualbox_product_only", L"Oracle Corporation", L"VirtualBox", L"", L"", L"VirtualBox"},
    {"qemu_padded_lower_case", L"  qemu  ", L"", L"", L"", L"QEMU"},
    {"qemu_product_only", L"", L"Standard PC (i440FX + PIIX, 1996)", L"SeaBIOS", L"", L"QEMU"},
    {"ovmf_bios_only", L"", L"", L"EFI Development Kit II / OVMF", L"", L"QEMU"},
    {"kvm_product_only", L"", L"KVM", L"", L"", L"KVM"},
    {"xen_bios_only", L"", L"", L"Xen", L"", L"Xen"},
    {"hyperv", L"Microsoft Corporation", L"Virtual Machine", L"Microsoft Corporation", L"0000-0017-0000", L"Hyper-V"},
    {"parallels_product_only", L"", L"Parallels ARM Virtual Machine", L"", L"", L"Parallels"},
    {"parallels_serial_only", L"", L"", L"", L"Parallels-4C 2B 19 70", L"Parallels"},
    {"bochs_bios_only", L"", L"", L"Bochs", L"", L"Bochs"},
    {"bhyve", L"", L"", L"BHYVE", L"", L"bhyve"},
    // Physical machines, some close to a signature.
    {"surface", L"Microsoft Corporation", L"Surface Pro 7", L"Microsoft Corporation", L"012345678901", nullptr},
    {"virtual_machine_by_another_maker", L"Contoso", L"Virtual Machine", L"Contoso", L"", nullptr},
    {"maker_starting_with_xen", L"Xenon Systems", L"Xenon Workstation", L"AMI", L"", nullptr},
    {"kvm_switch_in_product", L"ATEN", L"KVM Switch CS1924", L"AMI", L"", nullptr},
    {"seabios_on_coreboot", L"Google", L"Eve", L"SeaBIOS", L"", nullptr},
    {"vmware_inside_a_word", L"NotVMware, Inc.", L"", L"", L"", nullptr},
    {"dell", L"Dell Inc.", L"XPS 15 9520", L"Dell Inc.", L"8XQ2KL3", nullptr},
    {"empty", L"", L"", L"", L"", nullptr},
};

void Fill(WideBuffer& buffer, const wchar_t* text) { buffer.Assign(text, wcslen(text)); }
}  // namespace

TEST(VirtualMachineJudgement, NamesTheHypervisorOfItsFirmwareAndNoPhysicalMachine) {
  for (const FirmwareCase& c : kCases) {
    SCOPED_TRACE(c.name);
    SmbiosIdentity identity;
    Fill(identity.systemManufacturer, c.manufacturer);
    Fill(identity.systemProductName, c.product);
    Fill(identity.biosVendor, c.biosVendor);
    Fill(identity.systemSerialNumber, c.serial);
    WideBuffer detail;
    bool found = JudgeFirmwareIdentity(identity, detail);
    EXPECT_EQ(found, c.expectedDetailStart != nullptr);
    if (!c.expectedDetailStart) {
      EXPECT_TRUE(detail.Empty()) << "detail stays empty on false";
      continue;
    }
    std::wstring text = detail.CStr();
    EXPECT_EQ(text.rfind(c.expectedDetailStart, 0), 0u) << std::string(text.begin(), text.end());
    // The raw serial number never reaches the message.
    if (*c.serial) EXPECT_EQ(text.find(c.serial), std::wstring::npos);
  }
}

TEST(VirtualMachineJudgement, GuestServicesButNotTheHostSideOfAHypervisor) {
  struct {
    const wchar_t* name;
    bool guest;
  } cases[] = {
      {L"vmtoolsd.exe", true},      {L"VBoxService.exe", true},  {L"VBoxTray.exe", true},
      {L"prl_tools.exe", true},     {L"qemu-ga.exe", true},      {L"VBoxSVC.exe", false},
      {L"VirtualBox.exe", false},   {L"vmware.exe", false},      {L"vmware-authd.exe", false},
      {L"vmnat.exe", false},        {L"prl_client_app.exe", false}, {L"wine.exe", false},
  };
  for (const auto& c : cases) {
    WideBuffer detail;
    EXPECT_EQ(JudgeGuestServiceName(c.name, wcslen(c.name), detail), c.guest)
        << std::string(c.name, c.name + wcslen(c.name));
    EXPECT_EQ(detail.Empty(), !c.guest);
  }
}
