// Command and control ids shared by the resource script and the program.
//
// The menus, dialogs, icon and texts themselves are named resources ("MENU_1",
// "MENU_Tray", "IDD_DIALOG2", "ICON_1", "HELP_TEXT", ...) and are loaded by those
// names, so none of them may be #defined here: the resource compiler would turn the
// name into a number and the lookup by name would fail.
//
// This header is read by the resource compiler too: plain #defines only, ASCII only.
#pragma once

// Main menu MENU_1, popup "Settings".
#define IDM_SERVER_SETTINGS 102    // relay port, dialog IDD_DIALOG2
#define IDM_PUSH_SETTINGS 121      // push targets, dialog IDD_DIALOG_PUSH
#define IDM_RELAY_CLIENTS 122      // who reads the relay, dialog IDD_DIALOG_CLIENTS
#define IDM_SERIAL_SETTINGS 119    // serial source port and speed, dialog IDD_DIALOG_COM
#define IDM_SOURCE_SETTINGS 108    // source host and port, dialog IDD_DIALOG8
#define IDM_CONSUMER_SETTINGS 109  // consumer link host and port, dialog IDD_DIALOG9
#define IDM_BINARY_MODE 113        // toggle, carries a check mark while on
#define IDM_THRESHOLD 116          // signal threshold, dialog IDD_DIALOG_POROG
#define IDM_TIMER_FREQUENCY 117    // receiver timer frequency, dialog IDD_DIALOG_FREQ
#define IDM_RELATIVE_TIME 118      // toggle, carries a check mark while on
#define IDM_COORDINATES 110        // receiver coordinates, dialog IDD_DIALOG3
#define IDM_RECEIVER_NAME 111      // receiver name, dialog IDD_DIALOG4
#define IDM_RECEIVER_CLOCK 120     // the receiver-clock window (made by the program)
#define IDM_AUTOSTART 123          // toggle: the per-user autostart entry, marked while there

// Main menu MENU_1, popup "About".
#define IDM_HELP 301     // help box with the HELP_TEXT resource
#define IDM_CONTACT 302  // contact box with the CONTACT_TEXT resource

// Tray menu MENU_TRAY.
#define IDM_SHOW_WINDOW 124  // shows the main window, hidden when started in the tray
#define IDM_EXIT 101

// Settings dialogs. OK and Cancel are the platform's IDOK (1) and IDCANCEL (2).
// Every dialog's fields are 1000, 1001 and on.
#define IDC_RELAY_PORT 1000     // IDD_DIALOG2
#define IDC_RELAY_ADDRESS 1001  // IDD_DIALOG2: where it listens; empty: everywhere
#define IDC_RELAY_SHARE 1002    // IDD_DIALOG2: the slots one client address may hold
#define IDC_SOURCE_PORT 1000    // IDD_DIALOG8
#define IDC_SOURCE_HOST 1001    // IDD_DIALOG8
#define IDC_CONSUMER_PORT 1000  // IDD_DIALOG9
#define IDC_CONSUMER_HOST 1001  // IDD_DIALOG9
#define IDC_LATITUDE 1000       // IDD_DIALOG3
#define IDC_LONGITUDE 1001      // IDD_DIALOG3
#define IDC_RECEIVER_NAME 1000  // IDD_DIALOG4
#define IDC_THRESHOLD 1000      // IDD_DIALOG_POROG
#define IDC_FREQUENCY 1000      // IDD_DIALOG_FREQ
#define IDC_CLOCK_TEXT 1000     // the receiver-clock window: figures and verdict
#define IDC_CLOCK_APPLY 1001    // the receiver-clock window: write the fitting frequency
#define IDC_SERIAL_PORT 1000    // IDD_DIALOG_COM, an editable list
#define IDC_SERIAL_SPEED 1001   // IDD_DIALOG_COM, an editable list
#define IDC_PUSH_FIRST 1000     // IDD_DIALOG_PUSH: one target a line, 1000 to 1007
#define IDC_PUSH_STATUS 1010    // IDD_DIALOG_PUSH: the targets' states
#define IDC_CLIENTS_LIST 1000   // IDD_DIALOG_CLIENTS: one row a reader, and the totals
#ifndef IDC_STATIC
#define IDC_STATIC (-1)  // labels, never addressed
#endif

// The Tab command: sent to a Tab-cycling dialog (IDD_DIALOG2, IDD_DIALOG8, IDD_DIALOG3),
// it moves the focus as a typed Tab does. No control carries this id.
#define IDC_TAB_COMMAND 100
