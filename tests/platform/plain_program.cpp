// An executable without a version record and without a seal.
int main() {
    return 0;
}
