// Placeholder entry until the main window lands.
int main() { return 0; }
