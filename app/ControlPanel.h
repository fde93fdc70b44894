#pragma once
// The "Main Menu" window that edits the settings and raises their change
// flags, and the "LUT" legend window. Call inside an ImGui frame.
void showControlPanel();
