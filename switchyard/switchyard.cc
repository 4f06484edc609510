// PLACEHOLDER: replaced when this subsystem lands.
int main() { return 1; }
