// Placeholder until the host stand-in is written.
int main() { return 0; }
